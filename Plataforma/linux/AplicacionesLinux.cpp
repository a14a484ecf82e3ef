#include "AplicacionesLinux.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "ArchivosLinux.hpp"
#include "PaquetePrincipalLinux.hpp"
#include "ProcesosLinux.hpp"

namespace ovelmar {

namespace fs = std::filesystem;

namespace {

Error errorDeApertura(int numero, const std::string& motivo) {
  return Error{Error::dominioPosix, numero, motivo};
}

// The executable of a process, as the kernel names it; empty when it cannot be read
// (another user's process, a zombie, a kernel thread).
std::string ejecutableDe(pid_t pid) {
  std::error_code e;
  std::string ruta = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", e).string();
  if (e) return {};
  // A program replaced on disk keeps running; it still belongs to the bundle at that path.
  const std::string borrado = " (deleted)";
  if (ruta.size() > borrado.size() && ruta.ends_with(borrado))
    ruta.resize(ruta.size() - borrado.size());
  return ruta;
}

std::vector<pid_t> todosLosProcesos() {
  std::vector<pid_t> pids;
  std::error_code e;
  for (fs::directory_iterator it("/proc", e), fin; !e && it != fin; it.increment(e)) {
    const std::string nombre = it->path().filename().string();
    if (nombre.empty() ||
        !std::all_of(nombre.begin(), nombre.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    pids.push_back(static_cast<pid_t>(std::strtol(nombre.c_str(), nullptr, 10)));
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

// The one-letter state of /proc/<pid>/stat; empty when the process is gone.
std::string estadoDe(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string linea;
  if (!f || !std::getline(f, linea)) return {};
  // The name in parentheses may itself hold spaces and parentheses: the state follows
  // the last ')'.
  std::size_t cierre = linea.rfind(')');
  if (cierre == std::string::npos || cierre + 2 >= linea.size()) return {};
  return linea.substr(cierre + 2, 1);
}

// A pid that names one process: never 0 or negative, which kill() reads as a group.
bool pidValido(std::int32_t pid) {
  return pid > 0;
}

}  // namespace

std::vector<std::int32_t> AplicacionesLinux::procesosDelPaquete(const std::string& paquete) {
  const std::string raiz = ArchivosLinux().resolverEnlaces(paquete) + "/";
  const pid_t propio = static_cast<pid_t>(procesos_.pid());
  std::vector<std::int32_t> pids;
  for (pid_t pid : todosLosProcesos()) {
    if (pid == propio) continue;  // this process is about to hand over, it cannot stand in
    if (ejecutableDe(pid).starts_with(raiz)) pids.push_back(pid);
  }
  return pids;
}

std::optional<Error> AplicacionesLinux::arrancar(const std::string& paquete) {
  std::error_code e;
  if (!fs::is_directory(paquete, e))
    return errorDeApertura(ENOENT, "no application bundle at " + paquete);
  std::optional<Diccionario> info = leerInfoDePaquete(propiedades_, paquete);
  if (!info) return errorDeApertura(ENOEXEC, "no readable Info.plist in " + paquete);
  const std::string* nombre = textoDe(*info, "CFBundleExecutable");
  // A plain file name only: the Info.plist must not point outside Contents/MacOS.
  if (!nombre || nombre->empty() || *nombre == "." || *nombre == ".." ||
      nombre->find('/') != std::string::npos)
    return errorDeApertura(ENOEXEC, "no usable CFBundleExecutable in " + paquete);
  // Absolute: the child changes to "/" before it starts the program.
  const std::string programa =
      (fs::absolute(fs::path(paquete), e) / "Contents" / "MacOS" / *nombre).string();
  if (!fs::is_regular_file(programa, e))
    return errorDeApertura(ENOENT, "no executable at " + programa);

  // Like an application started by the desktop: it must not keep our folder (or the disk
  // image we were started from) busy, and it outlives us in its own session.
  auto arrancado =
      arrancarProceso({programa}, {.sesionNueva = true, .entradaNula = true, .carpeta = "/"});
  if (const Error* error = std::get_if<Error>(&arrancado)) return *error;
  recogerAlTerminar(std::get<std::int32_t>(arrancado));
  return std::nullopt;
}

void AplicacionesLinux::abrir(const std::string& paquete, bool instanciaNueva,
                              std::function<void(std::optional<Error>)> hecho) {
  if (!instanciaNueva && !procesosDelPaquete(paquete).empty()) {
    hecho(std::nullopt);  // already running: that one stands for the opened application
    return;
  }
  hecho(arrancar(paquete));
}

std::vector<AplicacionEnEjecucion> AplicacionesLinux::enEjecucion(
    const std::string& identificador) {
  std::vector<AplicacionEnEjecucion> apps;
  if (identificador.empty()) return apps;
  // This process is listed too when it runs from such a bundle: the caller tells itself apart.
  std::map<std::string, bool> deEsaAplicacion;  // per bundle, read once per call
  for (pid_t pid : todosLosProcesos()) {
    std::optional<std::string> paquete = PaquetePrincipalLinux::paqueteDe(ejecutableDe(pid));
    if (!paquete) continue;
    auto it = deEsaAplicacion.find(*paquete);
    if (it == deEsaAplicacion.end()) {
      std::optional<Diccionario> info = leerInfoDePaquete(propiedades_, *paquete);
      const std::string* id = info ? textoDe(*info, "CFBundleIdentifier") : nullptr;
      it = deEsaAplicacion.emplace(*paquete, id && *id == identificador).first;
    }
    if (it->second) apps.push_back({pid, *paquete});
  }
  return apps;
}

void AplicacionesLinux::terminar(const AplicacionEnEjecucion& app) {
  if (pidValido(app.pid)) kill(app.pid, SIGTERM);
}

void AplicacionesLinux::forzarTerminacion(const AplicacionEnEjecucion& app) {
  if (pidValido(app.pid)) kill(app.pid, SIGKILL);
}

bool AplicacionesLinux::terminada(const AplicacionEnEjecucion& app) {
  if (!pidValido(app.pid)) return true;
  if (kill(app.pid, 0) != 0 && errno == ESRCH) return true;
  const std::string estado = estadoDe(app.pid);
  return estado.empty() || estado == "Z" || estado == "X";
}

}  // namespace ovelmar
