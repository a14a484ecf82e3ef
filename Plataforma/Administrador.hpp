#pragma once
// Running a script with administrator privileges through the system's script engine.

#include <cstdint>
#include <optional>
#include <string>

namespace ovelmar {

struct ResultadoDeGuion {
  bool compilado = true;                      // a script object could be made from the source
  bool error = false;                         // the run reported an error
  std::optional<std::int64_t> numeroDeError;  // its error number, when it had one
};

class Administrador {
 public:
  virtual ~Administrador() = default;
  virtual ResultadoDeGuion ejecutarAppleScript(const std::string& fuente) = 0;
};

}  // namespace ovelmar
