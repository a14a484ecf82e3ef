#include "AplicacionesLinux.hpp"

namespace ovelmar {

// Opening and listing applications come with the move to Applications.
void AplicacionesLinux::abrir(const std::string&, bool,
                              std::function<void(std::optional<Error>)> hecho) {
  hecho(Error{Error::dominioPosix, 38, "not implemented"});
}
std::vector<AplicacionEnEjecucion> AplicacionesLinux::enEjecucion(const std::string&) {
  return {};
}
void AplicacionesLinux::terminar(const AplicacionEnEjecucion&) {}
void AplicacionesLinux::forzarTerminacion(const AplicacionEnEjecucion&) {}
bool AplicacionesLinux::terminada(const AplicacionEnEjecucion&) { return true; }

}  // namespace ovelmar
