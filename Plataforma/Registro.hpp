#pragma once
// The system log.

#include <string>

namespace ovelmar {

class Registro {
 public:
  virtual ~Registro() = default;
  virtual void escribir(const std::string& linea) = 0;
};

}  // namespace ovelmar
