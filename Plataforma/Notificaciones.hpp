#pragma once
// The notification center: in-process, synchronous, observers by name. Every observer
// has run before `publicar` returns. Observers may be added or removed while a
// notification is delivered; one removed during delivery is not called afterwards.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Valor.hpp"

namespace ovelmar {

class Notificaciones {
 public:
  using Observador = std::function<void(const Diccionario& informacion)>;

  virtual ~Notificaciones() = default;
  // Returns a token, never 0.
  virtual std::uint64_t observar(const std::string& nombre, Observador observador);
  virtual void dejarDeObservar(std::uint64_t token);
  virtual void publicar(const std::string& nombre, const Diccionario& informacion);

 private:
  struct Entrada {
    std::uint64_t token;
    std::string nombre;
    std::shared_ptr<Observador> observador;
  };
  std::vector<Entrada> entradas_;
  std::uint64_t siguiente_ = 1;
};

}  // namespace ovelmar
