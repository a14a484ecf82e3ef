#pragma once
#include "Plataforma/Red.hpp"

namespace ovelmar {

class RedLinux : public Red {
 public:
  std::shared_ptr<SesionDeDescarga> crearSesion(const ConfiguracionDeSesion& configuracion,
                                                DelegadoDeDescarga& delegado) override;
};

}  // namespace ovelmar
