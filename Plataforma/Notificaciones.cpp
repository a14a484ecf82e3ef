#include "Notificaciones.hpp"

#include <algorithm>

namespace ovelmar {

std::uint64_t Notificaciones::observar(const std::string& nombre, Observador observador) {
  auto compartido = std::make_shared<Observador>(std::move(observador));
  std::lock_guard<std::mutex> l(cerrojo_);
  std::uint64_t token = siguiente_++;
  entradas_.push_back({token, nombre, std::move(compartido)});
  return token;
}

bool Notificaciones::enCursoEnOtroHilo(std::uint64_t token) const {
  const std::thread::id yo = std::this_thread::get_id();
  return std::any_of(enCurso_.begin(), enCurso_.end(),
                     [&](const Llamada& c) { return c.token == token && c.hilo != yo; });
}

void Notificaciones::dejarDeObservar(std::uint64_t token) {
  std::shared_ptr<Observador> quitado;  // let go outside the lock: it may own anything
  std::unique_lock<std::mutex> l(cerrojo_);
  auto it = std::find_if(entradas_.begin(), entradas_.end(),
                         [&](const Entrada& e) { return e.token == token; });
  if (it != entradas_.end()) {
    quitado = std::move(it->observador);
    entradas_.erase(it);
  }
  // A call on this thread is the caller's own frame further up: waiting for it would
  // never end.
  llamadaAcabada_.wait(l, [&] { return !enCursoEnOtroHilo(token); });
}

void Notificaciones::publicar(const std::string& nombre, const Diccionario& informacion) {
  const std::thread::id yo = std::this_thread::get_id();
  // Take the tokens first: observers may change the list while they run.
  std::vector<std::uint64_t> tokens;
  {
    std::lock_guard<std::mutex> l(cerrojo_);
    for (const Entrada& e : entradas_)
      if (e.nombre == nombre) tokens.push_back(e.token);
  }
  for (std::uint64_t token : tokens) {
    std::shared_ptr<Observador> observador;  // survives its own removal
    {
      std::lock_guard<std::mutex> l(cerrojo_);
      auto it = std::find_if(entradas_.begin(), entradas_.end(),
                             [&](const Entrada& e) { return e.token == token; });
      if (it == entradas_.end()) continue;
      observador = it->observador;
      enCurso_.push_back({token, yo});
    }
    // Runs outside the lock, so that it may observe, remove or publish in turn.
    struct Acabar {
      Notificaciones& n;
      std::uint64_t token;
      std::thread::id hilo;
      ~Acabar() {
        {
          std::lock_guard<std::mutex> l(n.cerrojo_);
          auto it = std::find_if(n.enCurso_.begin(), n.enCurso_.end(), [&](const Llamada& c) {
            return c.token == token && c.hilo == hilo;
          });
          if (it != n.enCurso_.end()) n.enCurso_.erase(it);
        }
        n.llamadaAcabada_.notify_all();
      }
    } acabar{*this, token, yo};
    (*observador)(informacion);
  }
}

}  // namespace ovelmar
