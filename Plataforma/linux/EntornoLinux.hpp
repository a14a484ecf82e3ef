#pragma once
#include "Plataforma/Entorno.hpp"

namespace ovelmar {

class EntornoLinux : public Entorno {
 public:
  std::optional<std::string> variable(const std::string& nombre) override;
};

}  // namespace ovelmar
