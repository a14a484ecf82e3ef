#pragma once
// Why an update was not installed: the reason the host sees in the "fallo" state.

#include <string>

namespace ovelmar {

struct Fallo {
  std::string motivo;

  bool operator==(const Fallo&) const = default;
};

}  // namespace ovelmar
