#pragma once
// The notification center: in-process, synchronous, observers by name. Every observer
// has run before `publicar` returns, on the publishing thread. Observers may be added or
// removed from any thread, also while a notification is delivered and from inside an
// observer; one removed is not called afterwards.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Valor.hpp"

namespace ovelmar {

class Notificaciones {
 public:
  using Observador = std::function<void(const Diccionario& informacion)>;

  virtual ~Notificaciones() = default;
  // Returns a token, never 0.
  virtual std::uint64_t observar(const std::string& nombre, Observador observador);
  // When it returns, the observer is not running on any other thread and is never called
  // again, so what it uses may go. Called from inside that observer, it returns at once.
  virtual void dejarDeObservar(std::uint64_t token);
  virtual void publicar(const std::string& nombre, const Diccionario& informacion);

 private:
  struct Entrada {
    std::uint64_t token;
    std::string nombre;
    std::shared_ptr<Observador> observador;
  };
  // An observer running now, and where.
  struct Llamada {
    std::uint64_t token;
    std::thread::id hilo;
  };
  bool enCursoEnOtroHilo(std::uint64_t token) const;

  std::mutex cerrojo_;
  std::condition_variable llamadaAcabada_;
  std::vector<Entrada> entradas_;
  std::vector<Llamada> enCurso_;
  std::uint64_t siguiente_ = 1;
};

}  // namespace ovelmar
