#include "CarpetasLinux.hpp"

#include <glib.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace ovelmar {

namespace {

// The path with every link resolved; empty when it does not exist.
std::string real(const std::string& ruta) {
  char* r = realpath(ruta.c_str(), nullptr);
  if (!r) return {};
  std::string resultado(r);
  std::free(r);
  return resultado;
}

}  // namespace

std::optional<std::string> CarpetasLinux::descargas() {
  const gchar* casa = g_get_home_dir();
  const gchar* d = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
  std::string ruta;
  if (d) {
    ruta = d;  // GLib writes a folder of "/" as ""
  } else if (casa && *casa) {
    // Without configured user folders people still expect ~/Downloads.
    gchar* r = g_build_filename(casa, "Downloads", nullptr);
    ruta = r;
    g_free(r);
  }
  // xdg-user-dirs writes "$HOME/" for a folder the user switched off, and GLib then names
  // the home folder: taken at its word, every copy in the home would count as downloaded
  // (and be trashed after the move). Such a folder, the root, a relative or a missing
  // one is no Downloads folder.
  if (ruta.empty() || ruta.front() != '/') return std::nullopt;
  const std::string resuelta = real(ruta);
  struct stat st {};
  if (resuelta.empty() || stat(resuelta.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return std::nullopt;
  if (resuelta == "/" || (casa && *casa && resuelta == real(casa))) return std::nullopt;
  return ruta;
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
