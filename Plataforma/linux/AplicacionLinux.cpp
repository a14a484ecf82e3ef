#include "AplicacionLinux.hpp"

#include <cstdlib>

namespace ovelmar {

void AplicacionLinux::registrar(Funcion activar, Funcion terminar, void* contexto) {
  std::lock_guard<std::mutex> l(cerrojo_);
  activar_ = activar;
  terminar_ = terminar;
  contexto_ = contexto;
}

void AplicacionLinux::activar() {
  Funcion f;
  void* c;
  {
    std::lock_guard<std::mutex> l(cerrojo_);
    f = activar_;
    c = contexto_;
  }
  if (f) f(c);
}

void AplicacionLinux::terminar() {
  Funcion f;
  void* c;
  {
    std::lock_guard<std::mutex> l(cerrojo_);
    f = terminar_;
    c = contexto_;
  }
  if (f) {
    f(c);
    return;
  }
  // The caller (the move flow answering the host, say) finishes first.
  cola_.enviar([] { std::exit(0); });
}

}  // namespace ovelmar
