#include "RegistroLinux.hpp"

#include <syslog.h>

namespace ovelmar {

void RegistroLinux::escribir(const std::string& linea) {
  std::call_once(abierto_,
                 [this] { openlog(ident_.empty() ? nullptr : ident_.c_str(), LOG_PID, LOG_USER); });
  syslog(LOG_NOTICE, "%s", linea.c_str());
}

}  // namespace ovelmar
