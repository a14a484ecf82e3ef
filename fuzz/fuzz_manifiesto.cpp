// CodeResources: arbitrary bytes through the seal reader. Whatever it accepts names only
// plain relative paths and reads back the same once written again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Plataforma/linux/ManifiestoDeFirma.hpp"

namespace {

// Plain names joined by "/": nothing empty, ".", ".." or absolute.
bool sencilla(std::string_view ruta) {
  for (std::size_t inicio = 0;;) {
    std::size_t fin = std::min(ruta.find('/', inicio), ruta.size());
    std::string_view parte = ruta.substr(inicio, fin - inicio);
    if (parte.empty() || parte == "." || parte == "..") return false;
    if (fin == ruta.size()) return true;
    inicio = fin + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
  using namespace ovelmar;
  std::string error;
  std::optional<Manifiesto> m =
      leerManifiesto(std::string_view(reinterpret_cast<const char*>(datos), largo), error);
  if (!m) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  for (const auto& [r, _] : m->archivos)
    if (!sencilla(r)) __builtin_trap();
  for (const auto& [r, destino] : m->enlaces)
    if (!sencilla(r) || destino.front() == '/') __builtin_trap();
  std::optional<Manifiesto> otra = leerManifiesto(escribirManifiesto(*m), error);
  if (!otra || otra->identificador != m->identificador || otra->enlaces != m->enlaces ||
      otra->carpetas != m->carpetas || otra->anidados != m->anidados ||
      otra->archivos.size() != m->archivos.size())
    __builtin_trap();
  return 0;
}
