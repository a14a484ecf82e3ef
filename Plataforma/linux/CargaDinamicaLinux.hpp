#pragma once
#include "Plataforma/CargaDinamica.hpp"

namespace ovelmar {

class CargaDinamicaLinux : public CargaDinamica {
 public:
  void* abrir(const char* ruta) override;
  void* simbolo(void* biblioteca, const char* nombre) override;
};

}  // namespace ovelmar
