#pragma once
#include "Plataforma/Carpetas.hpp"

namespace ovelmar {

// XDG folders through GLib; volumes where udisks mounts them.
class CarpetasLinux : public Carpetas {
 public:
  std::optional<std::string> descargas() override;
  std::optional<std::string> caches() override;
  std::string temporal() override;
  std::vector<std::string> raicesDeVolumenes() override;
};

}  // namespace ovelmar
