#pragma once
// Background work (the user-initiated global queue).

#include <functional>

namespace ovelmar {

class ColaGlobal {
 public:
  virtual ~ColaGlobal() = default;
  virtual void enviar(std::function<void()> trabajo) = 0;
  virtual void enviarDespues(double segundos, std::function<void()> trabajo) = 0;
};

}  // namespace ovelmar
