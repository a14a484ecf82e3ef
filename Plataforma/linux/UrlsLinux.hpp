#pragma once
#include "Plataforma/Urls.hpp"

namespace ovelmar {

// GLib's strict parser (g_uri_parse without flags).
class UrlsLinux : public Urls {
 public:
  std::optional<UrlAnalizada> analizar(const std::string& texto) override;
};

}  // namespace ovelmar
