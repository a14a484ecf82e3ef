#pragma once
#include <string>

#include "Plataforma/PaquetePrincipal.hpp"
#include "Plataforma/Propiedades.hpp"

namespace ovelmar {

// The "X.app" folder that holds the executable as X.app/Contents/MacOS/<name>.
class PaquetePrincipalLinux : public PaquetePrincipal {
 public:
  // `ejecutable` defaults to /proc/self/exe.
  explicit PaquetePrincipalLinux(Propiedades& propiedades, std::string ejecutable = {});
  std::optional<std::string> ruta() override;
  std::optional<Diccionario> info() override;

  // The bundle around an executable path, or empty when it is not inside one.
  static std::optional<std::string> paqueteDe(const std::string& ejecutable);

 private:
  Propiedades& propiedades_;
  std::string ejecutable_;
};

// Contents/Info.plist of any bundle folder, when it is a readable dictionary.
std::optional<Diccionario> leerInfoDePaquete(Propiedades& propiedades, const std::string& paquete);

}  // namespace ovelmar
