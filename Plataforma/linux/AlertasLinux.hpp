#pragma once
#include "Plataforma/Alertas.hpp"

namespace ovelmar {

class AlertasLinux : public Alertas {
 public:
  int mostrar(const Alerta& alerta) override;
};

}  // namespace ovelmar
