#pragma once
#include "Plataforma/Administrador.hpp"
#include "Plataforma/Procesos.hpp"

namespace ovelmar {

class AdministradorLinux : public Administrador {
 public:
  explicit AdministradorLinux(Procesos& procesos) : procesos_(procesos) {}
  ResultadoDeGuion ejecutarAppleScript(const std::string& fuente) override;

 private:
  Procesos& procesos_;
};

}  // namespace ovelmar
