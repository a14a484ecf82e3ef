#include "AlertasLinux.hpp"

namespace ovelmar {

// Until the dialogs come, an alert counts as dismissed, as without a display.
int AlertasLinux::mostrar(const Alerta&) { return -1; }

}  // namespace ovelmar
