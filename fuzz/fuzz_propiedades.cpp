// Arbitrary bytes as a property list (XML or binary): read, and what is read written
// back and read again to the same value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Plataforma/linux/PropiedadesLinux.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
  ovelmar::PropiedadesLinux propiedades;
  std::optional<ovelmar::Valor> valor =
      propiedades.leer(std::string_view(reinterpret_cast<const char*>(datos), largo));
  if (!valor) return 0;
  std::optional<ovelmar::Valor> otra = propiedades.leer(propiedades.escribirXml(*valor));
  // Reals do not survive text exactly (NaN never equals itself), so only look at
  // what must: that the written text reads back at all.
  if (!otra) std::abort();
  return 0;
}
