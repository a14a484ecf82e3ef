#include "CargaDinamicaLinux.hpp"

#include <dlfcn.h>

namespace ovelmar {

void* CargaDinamicaLinux::abrir(const char* ruta) {
  return dlopen(ruta, RTLD_LAZY);
}
void* CargaDinamicaLinux::simbolo(void* biblioteca, const char* nombre) {
  return dlsym(biblioteca, nombre);
}

}  // namespace ovelmar
