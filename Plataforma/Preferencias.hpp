#pragma once
// The host's user defaults.

#include <optional>
#include <string>

#include "Valor.hpp"

namespace ovelmar {

class Preferencias {
 public:
  virtual ~Preferencias() = default;
  virtual std::optional<Valor> leer(const std::string& clave) = 0;
  virtual void escribir(const std::string& clave, const Valor& valor) = 0;
};

}  // namespace ovelmar
