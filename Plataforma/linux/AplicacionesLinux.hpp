#pragma once
#include "Plataforma/Aplicaciones.hpp"
#include "Plataforma/Procesos.hpp"
#include "Plataforma/Propiedades.hpp"

namespace ovelmar {

class AplicacionesLinux : public Aplicaciones {
 public:
  AplicacionesLinux(Propiedades& propiedades, Procesos& procesos)
      : propiedades_(propiedades), procesos_(procesos) {}
  void abrir(const std::string& paquete, bool instanciaNueva,
             std::function<void(std::optional<Error>)> hecho) override;
  std::vector<AplicacionEnEjecucion> enEjecucion(const std::string& identificador) override;
  void terminar(const AplicacionEnEjecucion& app) override;
  void forzarTerminacion(const AplicacionEnEjecucion& app) override;
  bool terminada(const AplicacionEnEjecucion& app) override;

 private:
  Propiedades& propiedades_;
  Procesos& procesos_;
};

}  // namespace ovelmar
