#pragma once
// Loading a library by path and finding a symbol by name.

namespace ovelmar {

class CargaDinamica {
 public:
  virtual ~CargaDinamica() = default;
  // A handle kept open for the rest of the process, or null.
  virtual void* abrir(const char* ruta) = 0;
  virtual void* simbolo(void* biblioteca, const char* nombre) = 0;
};

}  // namespace ovelmar
