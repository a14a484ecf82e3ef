#pragma once
#include <string>

#include "Plataforma/Archivos.hpp"
#include "Plataforma/Preferencias.hpp"
#include "Plataforma/Propiedades.hpp"

namespace ovelmar {

// The host's user defaults: one XML property list per host,
// ${XDG_CONFIG_HOME:-~/.config}/<bundle identifier>.plist. The folder is looked up at
// every access. A damaged file, or one that is not a dictionary, holds no entries; a
// write replaces the file whole and atomically, keeping the other entries of a readable
// file.
class PreferenciasLinux : public Preferencias {
 public:
  PreferenciasLinux(Propiedades& propiedades, Archivos& archivos, std::string identificador)
      : propiedades_(propiedades), archivos_(archivos), identificador_(std::move(identificador)) {}
  std::optional<Valor> leer(const std::string& clave) override;
  void escribir(const std::string& clave, const Valor& valor) override;

  // Where the file is now.
  std::string ruta() const;

 private:
  Diccionario todo() const;

  Propiedades& propiedades_;
  Archivos& archivos_;
  std::string identificador_;
};

}  // namespace ovelmar
