#pragma once
// The process environment.

#include <optional>
#include <string>

namespace ovelmar {

class Entorno {
 public:
  virtual ~Entorno() = default;
  virtual std::optional<std::string> variable(const std::string& nombre) = 0;
};

}  // namespace ovelmar
