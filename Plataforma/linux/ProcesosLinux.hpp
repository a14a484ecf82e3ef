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
  std::optional<std::int32_t> lanzar(const std::string& programa,
                                     const std::vector<std::string>& argumentos) override;
  bool vive(std::int32_t pid) override;
  std::optional<double> inicio(std::int32_t pid) override;
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

// How a child process starts: its output always goes to the null device.
struct Arranque {
  bool sesionNueva = false;       // in a session of its own, so that it outlives us
  bool entradaNula = false;       // standard input from the null device, else inherited
  const char* carpeta = nullptr;  // working folder, else ours
};
// Starts argv[0] (an absolute path) with those arguments: its pid, or why it could not.
std::variant<std::int32_t, Error> arrancarProceso(const std::vector<std::string>& argv,
                                                  const Arranque& como);
// Reaps the child on a thread of its own once it ends, so it never lingers as a zombie.
void recogerAlTerminar(std::int32_t pid);

// A text quoted for the shell: in single quotes, each ' written as '\''.
std::string entrecomillar(const std::string& texto);

}  // namespace ovelmar
