#pragma once
// Path text helpers, all lexical: nothing here touches the file system.

#include <string>
#include <string_view>

namespace ovelmar::rutas {

// "." and ".." removed, no trailing slash (but "/" stays "/").
std::string estandarizar(std::string_view ruta);
// `carpeta` followed by one component, with exactly one slash between them.
std::string unir(std::string_view carpeta, std::string_view componente);
// The path without its last component, as given (not standardised).
std::string padre(std::string_view ruta);
bool empiezaPor(std::string_view texto, std::string_view prefijo);

}  // namespace ovelmar::rutas
