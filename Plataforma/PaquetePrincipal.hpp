#pragma once
// The host's own bundle: where it lies and its information dictionary.

#include <optional>
#include <string>

#include "Valor.hpp"

namespace ovelmar {

class PaquetePrincipal {
 public:
  virtual ~PaquetePrincipal() = default;
  // Path of the bundle folder (".../X.app"), as the process sees it; empty when the
  // process does not run from a bundle.
  virtual std::optional<std::string> ruta() = 0;
  // Contents/Info.plist of that bundle; empty when missing or unreadable.
  virtual std::optional<Diccionario> info() = 0;
};

}  // namespace ovelmar
