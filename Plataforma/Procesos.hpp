#pragma once
// Child processes and facts about this process.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Error.hpp"

namespace ovelmar {

class Procesos {
 public:
  virtual ~Procesos() = default;
  // The program that stands in for a macOS tool path on this platform (identity on macOS).
  virtual std::string herramienta(const std::string& rutaMac) = 0;
  // Runs the program (resolved through the tool table), output to the null device, and
  // waits: its exit status, or the error that kept it from starting.
  virtual std::variant<int, Error> ejecutar(const std::string& programa,
                                            const std::vector<std::string>& argumentos) = 0;
  // Starts the program detached, in a session of its own, output to the null device: its
  // process identifier, or empty when it cannot start.
  virtual std::optional<std::int32_t> lanzar(const std::string& programa,
                                             const std::vector<std::string>& argumentos) = 0;
  // Whether a process with that identifier exists (as a null signal tells).
  virtual bool vive(std::int32_t pid) = 0;
  // When the process with that identifier started, in seconds since 1970-01-01 00:00 UTC;
  // empty when there is none or the system does not say. A later start than expected
  // tells a reused identifier apart.
  virtual std::optional<double> inicio(std::int32_t pid) = 0;
  virtual std::int32_t pid() = 0;
  virtual std::uint32_t uid() = 0;
  virtual std::string nombreDeUsuario() = 0;
  // Ends the process at once, its C output streams flushed first (within a bounded time).
  [[noreturn]] virtual void salir(int estado) = 0;
};

}  // namespace ovelmar
