#pragma once
#include <mutex>

#include "Plataforma/Aplicacion.hpp"

namespace ovelmar {

// The host's application object: the callbacks it registered, if any. Without a
// terminate callback, terminating ends the process normally.
class AplicacionLinux : public Aplicacion {
 public:
  using Funcion = void (*)(void* contexto);
  void registrar(Funcion activar, Funcion terminar, void* contexto);
  void activar() override;
  void terminar() override;

 private:
  std::mutex cerrojo_;
  Funcion activar_ = nullptr;
  Funcion terminar_ = nullptr;
  void* contexto_ = nullptr;
};

}  // namespace ovelmar
