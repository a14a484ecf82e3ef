#pragma once
// Unicode services of the platform.

#include <string>

namespace ovelmar {

class Textos {
 public:
  virtual ~Textos() = default;
  // One canonical normalisation form, so that texts that differ only in their
  // normalisation compare equal; invalid UTF-8 comes back unchanged.
  virtual std::string normalizar(const std::string& texto) = 0;
};

}  // namespace ovelmar
