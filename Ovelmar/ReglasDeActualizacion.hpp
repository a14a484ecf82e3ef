#pragma once
// The pure rules and fixed values of updating: the host identity and limits, the update
// request, the candidate check, the signing requirement and the two shell scripts.

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Identidad.hpp"
#include "Pedido.hpp"
#include "Plataforma/Plataforma.hpp"

namespace ovelmar {

class ReglasDeActualizacion {
 public:
  static constexpr std::string_view equipo = "QZ7K4WM2XD";
  static constexpr std::int64_t tamanoMaximo = 209715200;  // 200 MiB

  // The identity is read from the platform's main bundle on first use.
  explicit ReglasDeActualizacion(Plataforma& plataforma) : plataforma_(plataforma) {}

  // Built once, on first access, from any thread; constant afterwards.
  const Identidad& identidad() const;
  const std::string& identificador() const { return identidad().identificador; }

 private:
  Plataforma& plataforma_;
  mutable std::once_flag unaVez_;
  mutable Identidad identidad_;
};

}  // namespace ovelmar
