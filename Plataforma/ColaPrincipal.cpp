#include "ColaPrincipal.hpp"

#include <cstdio>
#include <cstdlib>

namespace ovelmar {

void exigirHiloPrincipal(ColaPrincipal& cola, std::string_view llamada) {
  if (cola.esHiloPrincipal()) return;
  std::fprintf(stderr, "Ovelmar: '%.*s' must be sent on the main thread; stopping.\n",
               static_cast<int>(llamada.size()), llamada.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace ovelmar
