#pragma once
// The host's shared application object.

namespace ovelmar {

class Aplicacion {
 public:
  virtual ~Aplicacion() = default;
  virtual void activar() = 0;   // ignoring other applications
  virtual void terminar() = 0;  // the ordinary terminate request
};

}  // namespace ovelmar
