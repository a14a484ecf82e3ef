#pragma once
#include "Plataforma/Propiedades.hpp"

namespace ovelmar {

// libplist. Its XML reader is lenient, so every node's type is checked on the way in.
class PropiedadesLinux : public Propiedades {
 public:
  std::optional<Valor> leer(std::string_view bytes) override;
  std::string escribirXml(const Valor& valor) override;
};

}  // namespace ovelmar
