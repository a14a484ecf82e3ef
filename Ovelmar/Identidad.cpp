#include "Identidad.hpp"

namespace ovelmar {

Identidad Identidad::de(const Diccionario& info) {
  auto texto = [&](std::string_view clave) {
    const std::string* t = textoDe(info, clave);
    return t ? *t : std::string();
  };
  Identidad identidad{texto("CFBundleIdentifier"), texto("CFBundleName"),
                      texto("CFBundleDisplayName")};
  if (identidad.nombre.empty()) identidad.nombre = identidad.fichero;
  return identidad;
}

}  // namespace ovelmar
