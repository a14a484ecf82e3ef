#include "UrlsLinux.hpp"

#include <glib.h>

namespace ovelmar {

std::optional<UrlAnalizada> UrlsLinux::analizar(const std::string& texto) {
  // A NUL inside the text would make the parser see a shorter URL than was given.
  if (texto.find('\0') != std::string::npos) return std::nullopt;
  GUri* uri = g_uri_parse(texto.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (!uri) return std::nullopt;
  UrlAnalizada r;
  if (const char* e = g_uri_get_scheme(uri)) r.esquema = e;
  if (const char* h = g_uri_get_host(uri)) r.anfitrion = h;
  g_uri_unref(uri);
  return r;
}

}  // namespace ovelmar
