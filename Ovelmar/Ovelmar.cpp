#include "Ovelmar.hpp"

#include <cctype>

namespace ovelmar {

std::string L(Idiomas& idiomas, std::string_view ingles, std::string_view espanol) {
  std::vector<std::string> preferidos = idiomas.preferidos();
  std::string primero = preferidos.empty() ? "es" : preferidos.front();
  for (char& c : primero) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::string(primero.starts_with("es") ? espanol : ingles);
}

bool Ovelmar::instalarSiHaceFalta() {
  exigirHiloPrincipal(*plataforma_.colaPrincipal, "instalarSiHaceFalta");
  return instalador_.moverSiHaceFalta();
}

bool Ovelmar::puedeActualizarse() {
  exigirHiloPrincipal(*plataforma_.colaPrincipal, "puedeActualizarse");
  return actualizador_.puedeActualizarse();
}

Diccionario Ovelmar::estadoDeLaActualizacion() const {
  return actualizador_.estado();
}

bool Ovelmar::actualizar(const Diccionario& pedido) {
  exigirHiloPrincipal(*plataforma_.colaPrincipal, "actualizar:");
  return actualizador_.empezar(pedido);
}

Diccionario Ovelmar::ultimaActualizacion() {
  exigirHiloPrincipal(*plataforma_.colaPrincipal, "ultimaActualizacion");
  return actualizador_.ultimaActualizacion();
}

Diccionario Ovelmar::firmaPropia() {
  exigirHiloPrincipal(*plataforma_.colaPrincipal, "firmaPropia");
  return actualizador_.firmaPropia();
}

}  // namespace ovelmar
