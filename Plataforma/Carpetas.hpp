#pragma once
// The user's standard folders and where this platform mounts volumes.

#include <optional>
#include <string>
#include <vector>

namespace ovelmar {

class Carpetas {
 public:
  virtual ~Carpetas() = default;
  // The user's Downloads folder; empty when there is none that is really one.
  virtual std::optional<std::string> descargas() = 0;
  virtual std::optional<std::string> caches() = 0;
  virtual std::string temporal() = 0;
  // Folders whose entries are mounted volumes, each ending in "/", besides "/Volumes/".
  virtual std::vector<std::string> raicesDeVolumenes() = 0;
};

}  // namespace ovelmar
