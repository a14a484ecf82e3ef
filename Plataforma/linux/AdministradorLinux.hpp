#pragma once
#include <optional>
#include <string>

#include "Plataforma/Administrador.hpp"
#include "ProcesosLinux.hpp"

namespace ovelmar {

// There is no AppleScript engine: the one script form the component uses,
//   do shell script "<command>" with administrator privileges
// runs as `pkexec /bin/sh -c <command>`, with pkexec and the command's macOS tool paths
// resolved through the tool table. Any other source does not compile.
class AdministradorLinux : public Administrador {
 public:
  explicit AdministradorLinux(ProcesosLinux& procesos) : procesos_(procesos) {}
  ResultadoDeGuion ejecutarAppleScript(const std::string& fuente) override;

  // The command of that one form, with the AppleScript string escapes undone; empty for
  // any other source.
  static std::optional<std::string> ordenDeGuion(const std::string& fuente);

  // AppleScript's number for a cancelled request.
  static constexpr std::int64_t cancelado = -128;

 private:
  ProcesosLinux& procesos_;
};

}  // namespace ovelmar
