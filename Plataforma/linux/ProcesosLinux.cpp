#include "ProcesosLinux.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "ArchivosLinux.hpp"

extern char** environ;

namespace ovelmar {

namespace fs = std::filesystem;

#ifndef OVELMAR_HERRAMIENTAS_DEL_ARBOL
#define OVELMAR_HERRAMIENTAS_DEL_ARBOL ""
#endif

std::string entrecomillar(const std::string& texto) {
  std::string r = "'";
  for (char c : texto) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

std::string ProcesosLinux::carpetaDeHerramientas() {
  // Inside the bundle the library is Contents/MacOS/Ovelmar and its tools are in
  // Contents/Resources/bin; a program linked with the component uses the build tree's.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ProcesosLinux::carpetaDeHerramientas), &info) &&
      info.dli_fname) {
    fs::path propia = fs::weakly_canonical(fs::path(info.dli_fname));
    if (propia.parent_path().filename() == "MacOS") {
      fs::path bin = propia.parent_path().parent_path() / "Resources" / "bin";
      std::error_code e;
      if (fs::is_directory(bin, e)) return bin.string();
    }
  }
  return OVELMAR_HERRAMIENTAS_DEL_ARBOL;
}

ProcesosLinux::ProcesosLinux() {
  std::string bin = carpetaDeHerramientas();
  for (const char* nombre : {"ditto", "xattr", "open", "hdiutil"})
    tabla_[std::string("/usr/bin/") + nombre] = bin + "/" + nombre;
  tabla_["/usr/sbin/chown"] = "/bin/chown";
  tabla_["pkexec"] = "/usr/bin/pkexec";
}

void ProcesosLinux::establecerHerramienta(const std::string& rutaMac, const std::string& programa) {
  std::lock_guard<std::mutex> l(cerrojo_);
  tabla_[rutaMac] = programa;
}

std::string ProcesosLinux::herramienta(const std::string& rutaMac) {
  std::lock_guard<std::mutex> l(cerrojo_);
  auto it = tabla_.find(rutaMac);
  return it == tabla_.end() ? rutaMac : it->second;
}

std::string ProcesosLinux::traducirGuion(const std::string& guion) {
  std::lock_guard<std::mutex> l(cerrojo_);
  std::string r = guion;
  for (const auto& [mac, programa] : tabla_) {
    if (mac.front() != '/' || mac == programa) continue;
    std::string sustituto = entrecomillar(programa);
    for (std::size_t i = r.find(mac); i != std::string::npos; i = r.find(mac, i)) {
      // Only the tool itself, not a longer path that begins the same way.
      std::size_t fin = i + mac.size();
      bool palabra = (i == 0 || r[i - 1] == ' ' || r[i - 1] == ';' || r[i - 1] == '{' ||
                      r[i - 1] == '\n' || r[i - 1] == '|' || r[i - 1] == '&') &&
                     (fin == r.size() || r[fin] == ' ' || r[fin] == ';' || r[fin] == '\n');
      if (!palabra) {
        i = fin;
        continue;
      }
      r.replace(i, mac.size(), sustituto);
      i += sustituto.size();
    }
  }
  return r;
}

std::vector<std::string> ProcesosLinux::traducir(const std::string& programa,
                                                 const std::vector<std::string>& argumentos) {
  std::vector<std::string> todo{herramienta(programa)};
  todo.insert(todo.end(), argumentos.begin(), argumentos.end());
  if (programa == "/bin/sh" && todo.size() > 2 && todo[1] == "-c") todo[2] = traducirGuion(todo[2]);
  return todo;
}

std::variant<std::int32_t, Error> arrancarProceso(const std::vector<std::string>& argv,
                                                  const Arranque& como) {
  std::vector<char*> punteros;
  for (const std::string& a : argv) punteros.push_back(const_cast<char*>(a.c_str()));
  punteros.push_back(nullptr);
  posix_spawn_file_actions_t acciones;
  posix_spawn_file_actions_init(&acciones);
  if (como.entradaNula) posix_spawn_file_actions_addopen(&acciones, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&acciones, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&acciones, 2, "/dev/null", O_WRONLY, 0);
  if (como.carpeta) posix_spawn_file_actions_addchdir_np(&acciones, como.carpeta);
  posix_spawnattr_t atributos;
  posix_spawnattr_init(&atributos);
  short banderas = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (como.sesionNueva) banderas |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&atributos, banderas);
  sigset_t vacio, todas;
  sigemptyset(&vacio);
  sigfillset(&todas);
  posix_spawnattr_setsigmask(&atributos, &vacio);
  posix_spawnattr_setsigdefault(&atributos, &todas);
  pid_t pid = 0;
  int r = posix_spawn(&pid, argv[0].c_str(), &acciones, &atributos, punteros.data(), environ);
  posix_spawn_file_actions_destroy(&acciones);
  posix_spawnattr_destroy(&atributos);
  if (r != 0) return errorPosix(r);
  return static_cast<std::int32_t>(pid);
}

void recogerAlTerminar(std::int32_t pid) {
  try {
    std::thread([pid] {
      int estado = 0;
      while (waitpid(pid, &estado, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: it stays a zombie once it ends, until we end.
  }
}

std::variant<int, Error> ProcesosLinux::ejecutar(const std::string& programa,
                                                 const std::vector<std::string>& argumentos) {
  auto arrancado = arrancarProceso(traducir(programa, argumentos), {});
  if (auto* e = std::get_if<Error>(&arrancado)) return *e;
  pid_t pid = std::get<std::int32_t>(arrancado);
  int estado = 0;
  while (waitpid(pid, &estado, 0) < 0) {
    if (errno != EINTR) return errorPosix(errno);
  }
  if (WIFEXITED(estado)) return WEXITSTATUS(estado);
  return 128 + (WIFSIGNALED(estado) ? WTERMSIG(estado) : 0);
}

std::optional<std::int32_t> ProcesosLinux::lanzar(const std::string& programa,
                                                  const std::vector<std::string>& argumentos) {
  auto arrancado = arrancarProceso(traducir(programa, argumentos), {.sesionNueva = true});
  if (std::holds_alternative<Error>(arrancado)) return std::nullopt;
  // In a session of its own it outlives us; while we live, someone must reap it.
  const std::int32_t pid = std::get<std::int32_t>(arrancado);
  recogerAlTerminar(pid);
  return pid;
}

bool ProcesosLinux::vive(std::int32_t pid) {
  if (pid <= 0) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::int32_t ProcesosLinux::pid() {
  return static_cast<std::int32_t>(getpid());
}
std::uint32_t ProcesosLinux::uid() {
  return static_cast<std::uint32_t>(getuid());
}

std::string ProcesosLinux::nombreDeUsuario() {
  struct passwd pw {};
  struct passwd* resultado = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &resultado) == 0 && resultado)
    return resultado->pw_name;
  const char* u = std::getenv("USER");
  return u ? u : "";
}

void ProcesosLinux::salir(int estado) {
  std::_Exit(estado);
}

}  // namespace ovelmar
