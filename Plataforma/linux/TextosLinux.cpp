#include "TextosLinux.hpp"

#include <glib.h>

namespace ovelmar {

std::string TextosLinux::normalizar(const std::string& texto) {
  gchar* n = g_utf8_normalize(texto.data(), static_cast<gssize>(texto.size()), G_NORMALIZE_NFD);
  if (!n) return texto;
  std::string r(n);
  g_free(n);
  return r;
}

}  // namespace ovelmar
