#include "AdministradorLinux.hpp"

namespace ovelmar {

// The elevated route comes with the move to Applications; until then it fails.
ResultadoDeGuion AdministradorLinux::ejecutarAppleScript(const std::string&) {
  return ResultadoDeGuion{true, true, std::nullopt};
}

}  // namespace ovelmar
