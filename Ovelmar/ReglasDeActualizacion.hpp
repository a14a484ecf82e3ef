#pragma once
// The pure rules and fixed values of updating: the host identity and limits, the update
// request, the candidate check, the signing requirement and the two shell scripts.

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Comprobacion.hpp"
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
  // The host's "OvelmarClavePublica" as written in its Info.plist, read with the identity;
  // absent when the key is not there, an empty text when its value is no text. While it
  // is there, every archive must carry a signature by it.
  const std::optional<std::string>& clavePublica() const;

  // The update request, or nothing when the dictionary is not a valid one. The URL is
  // checked with the platform's parser.
  std::optional<Pedido> leerPedido(const Diccionario& pedido) const;
  // The lenient integer reading used for every integer that comes from outside.
  static std::optional<std::int64_t> entero(const Valor* valor);

  Comprobacion comprobarApp(const std::optional<std::string>& identificador,
                            std::optional<std::int64_t> build, bool tieneMacOS,
                            std::int64_t esperado, std::int64_t actual) const;
  // `identificador` defaults to the host's own.
  std::string requisitoDeFirma(std::string_view equipo,
                               std::optional<std::string_view> identificador = {}) const;
  static std::string hex(std::span<const std::uint8_t> bytes);
  static bool sinContrasena(bool carpetaEscribible, bool appEscribible, bool appEsDelUsuario);

  static const std::string_view guionDeCambio;
  static const std::string_view guionDeReabrir;

 private:
  Plataforma& plataforma_;
  mutable std::once_flag unaVez_;
  mutable Identidad identidad_;
  mutable std::optional<std::string> clavePublica_;
};

}  // namespace ovelmar
