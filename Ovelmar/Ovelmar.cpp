#include "Ovelmar.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace ovelmar {

std::string L(Idiomas& idiomas, std::string_view ingles, std::string_view espanol) {
  std::vector<std::string> preferidos = idiomas.preferidos();
  std::string primero = preferidos.empty() ? "es" : preferidos.front();
  for (char& c : primero) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::string(primero.starts_with("es") ? espanol : ingles);
}

void Ovelmar::exigirHiloPrincipal(std::string_view selector) const {
  if (plataforma_.colaPrincipal->esHiloPrincipal()) return;
  std::fprintf(stderr, "Ovelmar: '%.*s' must be sent on the main thread; stopping.\n",
               static_cast<int>(selector.size()), selector.data());
  std::fflush(stderr);
  std::abort();
}

bool Ovelmar::instalarSiHaceFalta() {
  exigirHiloPrincipal("instalarSiHaceFalta");
  return instalador_.moverSiHaceFalta();
}

bool Ovelmar::puedeActualizarse() {
  exigirHiloPrincipal("puedeActualizarse");
  return actualizador_.puedeActualizarse();
}

Diccionario Ovelmar::estadoDeLaActualizacion() const { return actualizador_.estado(); }

bool Ovelmar::actualizar(const Diccionario& pedido) {
  exigirHiloPrincipal("actualizar:");
  return actualizador_.empezar(pedido);
}

}  // namespace ovelmar
