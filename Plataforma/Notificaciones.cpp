#include "Notificaciones.hpp"

#include <algorithm>

namespace ovelmar {

std::uint64_t Notificaciones::observar(const std::string& nombre, Observador observador) {
  std::uint64_t token = siguiente_++;
  entradas_.push_back({token, nombre, std::make_shared<Observador>(std::move(observador))});
  return token;
}

void Notificaciones::dejarDeObservar(std::uint64_t token) {
  std::erase_if(entradas_, [&](const Entrada& e) { return e.token == token; });
}

void Notificaciones::publicar(const std::string& nombre, const Diccionario& informacion) {
  // Take the tokens first: observers may change the list while they run.
  std::vector<std::uint64_t> tokens;
  for (const Entrada& e : entradas_)
    if (e.nombre == nombre) tokens.push_back(e.token);
  for (std::uint64_t token : tokens) {
    auto it = std::find_if(entradas_.begin(), entradas_.end(),
                           [&](const Entrada& e) { return e.token == token; });
    if (it == entradas_.end()) continue;
    std::shared_ptr<Observador> observador = it->observador;  // survives its own removal
    (*observador)(informacion);
  }
}

}  // namespace ovelmar
