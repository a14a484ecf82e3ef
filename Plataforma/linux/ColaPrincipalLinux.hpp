#pragma once
#include "Plataforma/ColaPrincipal.hpp"

namespace ovelmar {

// GLib's default main context; the main thread is the process's initial thread.
class ColaPrincipalLinux : public ColaPrincipal {
 public:
  bool esHiloPrincipal() override;
  void enviar(std::function<void()> trabajo) override;
  void enviarDespues(double segundos, std::function<void()> trabajo) override;
  void correrDurante(double segundos) override;
};

}  // namespace ovelmar
