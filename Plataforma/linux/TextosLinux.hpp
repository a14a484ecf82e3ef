#pragma once
#include "Plataforma/Textos.hpp"

namespace ovelmar {

class TextosLinux : public Textos {
 public:
  std::string normalizar(const std::string& texto) override;
};

}  // namespace ovelmar
