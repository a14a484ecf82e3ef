#include "CarpetasLinux.hpp"

#include <glib.h>
#include <pwd.h>
#include <unistd.h>

namespace ovelmar {

std::optional<std::string> CarpetasLinux::descargas() {
  const gchar* d = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
  // Without configured user folders people still expect ~/Downloads.
  if (d && *d) return std::string(d);
  const gchar* casa = g_get_home_dir();
  if (!casa || !*casa) return std::nullopt;
  gchar* r = g_build_filename(casa, "Downloads", nullptr);
  std::string resultado(r);
  g_free(r);
  return resultado;
}

std::optional<std::string> CarpetasLinux::caches() {
  const gchar* c = g_get_user_cache_dir();
  if (!c || !*c) return std::nullopt;
  return std::string(c);
}

std::string CarpetasLinux::temporal() {
  return g_get_tmp_dir();
}

std::vector<std::string> CarpetasLinux::raicesDeVolumenes() {
  const gchar* usuario = g_get_user_name();
  if (!usuario || !*usuario) return {};
  std::string u(usuario);
  return {"/media/" + u + "/", "/run/media/" + u + "/"};
}

}  // namespace ovelmar
