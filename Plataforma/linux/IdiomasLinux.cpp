#include "IdiomasLinux.hpp"

#include <glib.h>

#include <algorithm>

namespace ovelmar {

std::string IdiomasLinux::etiqueta(const std::string& locale) {
  std::string t = locale.substr(0, locale.find_first_of(".@"));
  if (t == "C" || t == "POSIX") return {};
  std::replace(t.begin(), t.end(), '_', '-');
  return t;
}

std::vector<std::string> IdiomasLinux::preferidos() {
  // GLib lists each preference with its variants ("es_ES.UTF-8", "es_ES", "es", ...);
  // keep one tag per entry, in order, without repeats of a more general variant.
  std::vector<std::string> resultado;
  for (const gchar* const* n = g_get_language_names(); n && *n; ++n) {
    std::string t = etiqueta(*n);
    if (t.empty()) continue;
    bool variante = std::any_of(resultado.begin(), resultado.end(), [&](const std::string& r) {
      return r == t ||
             (r.size() > t.size() && r.compare(0, t.size(), t) == 0 && r[t.size()] == '-');
    });
    if (!variante) resultado.push_back(t);
  }
  return resultado;
}

}  // namespace ovelmar
