#pragma once
// Property lists: XML and binary in, XML out.

#include <optional>
#include <string>
#include <string_view>

#include "Valor.hpp"

namespace ovelmar {

class Propiedades {
 public:
  virtual ~Propiedades() = default;
  // Empty when the bytes are not a well-formed property list.
  virtual std::optional<Valor> leer(std::string_view bytes) = 0;
  virtual std::string escribirXml(const Valor& valor) = 0;
};

}  // namespace ovelmar
