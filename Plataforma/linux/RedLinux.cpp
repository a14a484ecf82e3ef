#include "RedLinux.hpp"

namespace ovelmar {

// No transfers yet: the session comes with the updater.
std::shared_ptr<SesionDeDescarga> RedLinux::crearSesion(const ConfiguracionDeSesion&,
                                                        DelegadoDeDescarga&) {
  return nullptr;
}

}  // namespace ovelmar
