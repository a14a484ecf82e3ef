#include "Rutas.hpp"

#include <filesystem>

namespace ovelmar::rutas {

std::string estandarizar(std::string_view ruta) {
  if (ruta.empty()) return {};
  std::string r = std::filesystem::path(ruta).lexically_normal().string();
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return r;
}

std::string unir(std::string_view carpeta, std::string_view componente) {
  std::string r(carpeta);
  if (r.empty() || r.back() != '/') r += '/';
  r += componente;
  return r;
}

std::string padre(std::string_view ruta) {
  std::string r(ruta);
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  auto barra = r.find_last_of('/');
  if (barra == std::string::npos) return ".";
  if (barra == 0) return "/";
  return r.substr(0, barra);
}

bool empiezaPor(std::string_view texto, std::string_view prefijo) {
  return texto.substr(0, prefijo.size()) == prefijo;
}

}  // namespace ovelmar::rutas
