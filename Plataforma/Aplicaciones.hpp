#pragma once
// The workspace: opening applications and the running ones.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Error.hpp"

namespace ovelmar {

struct AplicacionEnEjecucion {
  std::int32_t pid = 0;
  std::optional<std::string> paquete;  // the bundle it runs from, when known
  bool operator==(const AplicacionEnEjecucion&) const = default;
};

class Aplicaciones {
 public:
  virtual ~Aplicaciones() = default;
  // Opens the application bundle and activates it; with `instanciaNueva` false and the
  // bundle already running, brings that one forward instead. `hecho` may be called on
  // any thread.
  virtual void abrir(const std::string& paquete, bool instanciaNueva,
                     std::function<void(std::optional<Error>)> hecho) = 0;
  virtual std::vector<AplicacionEnEjecucion> enEjecucion(const std::string& identificador) = 0;
  virtual void terminar(const AplicacionEnEjecucion& app) = 0;
  virtual void forzarTerminacion(const AplicacionEnEjecucion& app) = 0;
  virtual bool terminada(const AplicacionEnEjecucion& app) = 0;
};

}  // namespace ovelmar
