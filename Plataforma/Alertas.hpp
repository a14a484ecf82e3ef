#pragma once
// Modal alerts.

#include <string>
#include <vector>

namespace ovelmar {

struct Alerta {
  std::string mensaje;
  std::string informativo;
  std::vector<std::string> botones;  // none: the platform's single default button
};

class Alertas {
 public:
  virtual ~Alertas() = default;
  // Index of the button pressed; -1 when the alert was closed any other way.
  virtual int mostrar(const Alerta& alerta) = 0;
};

}  // namespace ovelmar
