#pragma once
#include <mutex>

#include "Plataforma/Aplicacion.hpp"
#include "Plataforma/ColaPrincipal.hpp"

namespace ovelmar {

// The host's application object: the callbacks it registered, if any. Without a
// terminate callback, the request returns and the process ends normally from the main
// queue, as an application's termination does.
class AplicacionLinux : public Aplicacion {
 public:
  explicit AplicacionLinux(ColaPrincipal& cola) : cola_(cola) {}
  using Funcion = void (*)(void* contexto);
  void registrar(Funcion activar, Funcion terminar, void* contexto);
  void activar() override;
  void terminar() override;

 private:
  ColaPrincipal& cola_;
  std::mutex cerrojo_;
  Funcion activar_ = nullptr;
  Funcion terminar_ = nullptr;
  void* contexto_ = nullptr;
};

}  // namespace ovelmar
