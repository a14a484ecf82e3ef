#pragma once
#include <map>
#include <mutex>

#include "Plataforma/Procesos.hpp"

namespace ovelmar {

// posix_spawn. The tool table maps each macOS tool path to the program that stands in for
// it; scripts run through "/bin/sh -c" have their tool paths mapped the same way.
class ProcesosLinux : public Procesos {
 public:
  ProcesosLinux();

  std::string herramienta(const std::string& rutaMac) override;
  std::variant<int, Error> ejecutar(const std::string& programa,
                                    const std::vector<std::string>& argumentos) override;
  bool lanzar(const std::string& programa, const std::vector<std::string>& argumentos) override;
  std::int32_t pid() override;
  std::uint32_t uid() override;
  std::string nombreDeUsuario() override;
  [[noreturn]] void salir(int estado) override;

  // Lets a test stand another program in for a tool.
  void establecerHerramienta(const std::string& rutaMac, const std::string& programa);
  // The script with every mapped tool path replaced by its (quoted) stand-in.
  std::string traducirGuion(const std::string& guion);
  // Where the bundle's own tools are.
  static std::string carpetaDeHerramientas();

 private:
  std::vector<std::string> traducir(const std::string& programa,
                                    const std::vector<std::string>& argumentos);
  std::mutex cerrojo_;
  std::map<std::string, std::string> tabla_;
};

// A text quoted for the shell: in single quotes, each ' written as '\''.
std::string entrecomillar(const std::string& texto);

}  // namespace ovelmar
