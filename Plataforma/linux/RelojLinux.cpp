#include "RelojLinux.hpp"

#include <glib.h>

namespace ovelmar {

double RelojLinux::ahora() {
  return static_cast<double>(g_get_real_time()) / 1e6;
}

}  // namespace ovelmar
