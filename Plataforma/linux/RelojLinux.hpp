#pragma once
#include "Plataforma/Reloj.hpp"

namespace ovelmar {

class RelojLinux : public Reloj {
 public:
  double ahora() override;
};

}  // namespace ovelmar
