#include "UrlsLinux.hpp"

#include <glib.h>

#include <algorithm>

namespace ovelmar {

std::optional<UrlAnalizada> UrlsLinux::analizar(const std::string& texto) {
  // GLib takes spaces and raw control characters (line breaks included) into the path
  // or even the host; no URL contains them, and they must not reach a request line.
  // A NUL would also make the parser see a shorter URL than was given.
  bool prohibido = std::any_of(texto.begin(), texto.end(), [](char c) {
    auto b = static_cast<unsigned char>(c);
    return b <= 0x20 || b == 0x7f;
  });
  if (prohibido) return std::nullopt;
  GUri* uri = g_uri_parse(texto.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (!uri) return std::nullopt;
  const char* esquema = g_uri_get_scheme(uri);
  const char* anfitrion = g_uri_get_host(uri);
  std::optional<UrlAnalizada> r;
  // The parser found the scheme in front of the first colon; take it from there as written.
  std::size_t dosPuntos = texto.find(':');
  if (esquema && dosPuntos != std::string::npos &&
      g_ascii_strcasecmp(texto.substr(0, dosPuntos).c_str(), esquema) == 0)
    r = UrlAnalizada{texto.substr(0, dosPuntos), anfitrion ? anfitrion : ""};
  g_uri_unref(uri);
  return r;
}

}  // namespace ovelmar
