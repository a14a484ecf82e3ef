#pragma once
// Moving the application into the Applications folder: where it belongs, whether the
// running copy must move, copying it into place and handing over to the installed copy.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "Plataforma/Plataforma.hpp"
#include "ReglasDeActualizacion.hpp"

namespace ovelmar {

class Instalador {
 public:
  Instalador(Plataforma& plataforma, ReglasDeActualizacion& reglas)
      : plataforma_(plataforma), reglas_(reglas) {}

  // Where the application belongs. `modoPrueba` and `destinoDir` are fixed on first use.
  bool modoPrueba() const;
  const std::string& destinoDir() const;
  std::string destino() const;

  // Whether the running copy sits in a download location.
  std::string rutaOriginal(const std::string& actual) const;
  std::optional<std::string> volumenDelDMG(const std::string& ruta) const;
  bool esDescargas(const std::string& ruta) const;
  bool hayQueMover(const std::string& original, const std::string& actual) const;

 private:
  struct Lugar {
    bool modoPrueba = false;
    std::string destinoDir;
  };
  const Lugar& lugar() const;

  Plataforma& plataforma_;
  ReglasDeActualizacion& reglas_;
  mutable std::once_flag unaVez_;
  mutable Lugar lugar_;
};

}  // namespace ovelmar
