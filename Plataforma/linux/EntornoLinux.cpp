#include "EntornoLinux.hpp"

#include <glib.h>

namespace ovelmar {

std::optional<std::string> EntornoLinux::variable(const std::string& nombre) {
  const gchar* v = g_getenv(nombre.c_str());
  if (!v) return std::nullopt;
  return std::string(v);
}

}  // namespace ovelmar
