#pragma once
#include "Plataforma/Urls.hpp"

namespace ovelmar {

// GLib's strict parser (g_uri_parse without flags). GLib lower-cases the scheme, so the
// scheme reported is the one written in the text.
class UrlsLinux : public Urls {
 public:
  std::optional<UrlAnalizada> analizar(const std::string& texto) override;
};

}  // namespace ovelmar
