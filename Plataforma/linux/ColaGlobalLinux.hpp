#pragma once
#include "Plataforma/ColaGlobal.hpp"

namespace ovelmar {

// Each work item on a thread of its own: the items are few and some block on tools.
class ColaGlobalLinux : public ColaGlobal {
 public:
  void enviar(std::function<void()> trabajo) override;
  void enviarDespues(double segundos, std::function<void()> trabajo) override;
};

}  // namespace ovelmar
