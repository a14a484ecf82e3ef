#pragma once
#include "Plataforma/Aplicaciones.hpp"
#include "Plataforma/Procesos.hpp"
#include "Plataforma/Propiedades.hpp"

namespace ovelmar {

// An application is a bundle X.app whose Contents/MacOS/<CFBundleExecutable> runs as a
// process; the running ones are found through /proc/<pid>/exe.
class AplicacionesLinux : public Aplicaciones {
 public:
  AplicacionesLinux(Propiedades& propiedades, Procesos& procesos)
      : propiedades_(propiedades), procesos_(procesos) {}
  // `hecho` is called before this returns, on the caller's thread.
  void abrir(const std::string& paquete, bool instanciaNueva,
             std::function<void(std::optional<Error>)> hecho) override;
  std::vector<AplicacionEnEjecucion> enEjecucion(const std::string& identificador) override;
  void terminar(const AplicacionEnEjecucion& app) override;
  void forzarTerminacion(const AplicacionEnEjecucion& app) override;
  bool terminada(const AplicacionEnEjecucion& app) override;

  // Starts the bundle's executable detached, in a session of its own; the error when the
  // bundle has no usable Info.plist or executable, or the program cannot start.
  std::optional<Error> arrancar(const std::string& paquete);
  // Pids of the other processes whose executable lies inside `paquete`, in pid order.
  std::vector<std::int32_t> procesosDelPaquete(const std::string& paquete);

 private:
  Propiedades& propiedades_;
  Procesos& procesos_;
};

}  // namespace ovelmar
