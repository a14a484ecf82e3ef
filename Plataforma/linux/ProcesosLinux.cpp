#include "ProcesosLinux.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string_view>
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

namespace {

// How the tool ended, as the intermediate process tells it.
struct Informe {
  enum Tipo : int { salio, senal, noArranco } tipo = noArranco;
  int valor = ECHILD;  // exit status, signal number or error number
};

void escribirTodo(int fd, const void* datos, std::size_t largo) {
  const char* p = static_cast<const char*>(datos);
  while (largo > 0) {
    ssize_t n = write(fd, p, largo);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    largo -= static_cast<std::size_t>(n);
  }
}

// How many bytes arrived before the end of the pipe.
std::size_t leerTodo(int fd, void* datos, std::size_t largo) {
  char* p = static_cast<char*>(datos);
  std::size_t leidos = 0;
  while (leidos < largo) {
    ssize_t n = read(fd, p + leidos, largo - leidos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    leidos += static_cast<std::size_t>(n);
  }
  return leidos;
}

// The intermediate process, forked from a process that may have other threads: only
// async-signal-safe calls from here on. With default signal dispositions of its own it
// can wait for the tool whatever the host does with its children (a SIGCHLD set to
// SIG_IGN keeps no status at all; a waitpid(-1) loop takes it first), and it hands the
// status over the pipe. Then it waits for `espera` to close, so that its process
// identifier still names it while the caller takes hold of it.
[[noreturn]] void intermedio(char* const* argv, int informe, int espera, int otroInforme,
                             int otraEspera) {
  close(otroInforme);  // the caller's ends: `espera` must close when the caller closes it
  close(otraEspera);
  struct sigaction porDefecto {};
  porDefecto.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) sigaction(s, &porDefecto, nullptr);
  Informe r;
  int fallo[2];
  if (pipe2(fallo, O_CLOEXEC) != 0) {
    r.valor = errno;
  } else {
    pid_t herramienta = _Fork();
    if (herramienta == 0) {
      int nulo = open("/dev/null", O_WRONLY);
      if (nulo >= 0) dup2(nulo, 1), dup2(nulo, 2);
      sigset_t vacio;
      sigemptyset(&vacio);
      sigprocmask(SIG_SETMASK, &vacio, nullptr);
      execve(argv[0], argv, environ);
      int numero = errno;
      escribirTodo(fallo[1], &numero, sizeof numero);
      _exit(127);
    }
    r.valor = errno;
    close(fallo[1]);
    if (herramienta > 0) {
      int numero = 0;
      const bool noArranco = leerTodo(fallo[0], &numero, sizeof numero) == sizeof numero;
      int estado = 0;
      pid_t w;
      while ((w = waitpid(herramienta, &estado, 0)) < 0 && errno == EINTR) {
      }
      if (noArranco)
        r.valor = numero;
      else if (w < 0)
        r.valor = errno;
      else if (WIFEXITED(estado))
        r = {Informe::salio, WEXITSTATUS(estado)};
      else
        r = {Informe::senal, WIFSIGNALED(estado) ? WTERMSIG(estado) : 0};
    }
  }
  escribirTodo(informe, &r, sizeof r);
  close(informe);
  char c;
  while (read(espera, &c, 1) < 0 && errno == EINTR) {
  }
  _exit(0);
}

// Runs argv[0] (an absolute path), output to the null device, and waits for its status.
std::variant<int, Error> correrYEsperar(const std::vector<std::string>& argv) {
  std::vector<char*> punteros;
  for (const std::string& a : argv) punteros.push_back(const_cast<char*>(a.c_str()));
  punteros.push_back(nullptr);
  int informe[2], espera[2];
  if (pipe2(informe, O_CLOEXEC) != 0) return errorPosix(errno);
  if (pipe2(espera, O_CLOEXEC) != 0) {
    int numero = errno;
    close(informe[0]), close(informe[1]);
    return errorPosix(numero);
  }
  // No handler of the host may run in the child before it has put them back to default.
  sigset_t todas, antes;
  sigfillset(&todas);
  pthread_sigmask(SIG_SETMASK, &todas, &antes);
  pid_t pid = _Fork();
  if (pid == 0) intermedio(punteros.data(), informe[1], espera[0], informe[0], espera[1]);
  const int numero = errno;
  pthread_sigmask(SIG_SETMASK, &antes, nullptr);
  close(informe[1]), close(espera[0]);
  if (pid < 0) {
    close(informe[0]), close(espera[1]);
    return errorPosix(numero);
  }
  Informe r;
  const bool completo = leerTodo(informe[0], &r, sizeof r) == sizeof r;
  close(informe[0]);
  // Still alive, waiting for `espera`: the pid cannot name another process yet.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  close(espera[1]);
  // Reap it, should the host not; its own status means nothing.
  if (pidfd >= 0) {
    siginfo_t info{};
    while (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED) < 0 &&
           errno == EINTR) {
    }
    close(pidfd);
  } else {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (!completo) return errorPosix(ECHILD);
  switch (r.tipo) {
    case Informe::salio:
      return r.valor;
    case Informe::senal:
      return 128 + r.valor;
    default:
      return errorPosix(r.valor);
  }
}

}  // namespace

std::variant<int, Error> ProcesosLinux::ejecutar(const std::string& programa,
                                                 const std::vector<std::string>& argumentos) {
  return correrYEsperar(traducir(programa, argumentos));
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

std::optional<double> ProcesosLinux::inicio(std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string ruta = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = open(ruta.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[4096];
  const ssize_t leidos = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  if (leidos <= 0) return std::nullopt;
  const std::string_view linea(buffer, static_cast<std::size_t>(leidos));
  // The name in parentheses may hold spaces and parentheses itself: fields count from the
  // last ")". The start is the 22nd field, in clock ticks since boot.
  const std::size_t cierre = linea.rfind(')');
  if (cierre == std::string_view::npos) return std::nullopt;
  std::string_view resto = linea.substr(cierre + 1);
  for (int campo = 3; campo < 22; ++campo) {
    const std::size_t espacio = resto.find(' ', 1);
    if (espacio == std::string_view::npos) return std::nullopt;
    resto = resto.substr(espacio);
  }
  resto.remove_prefix(1);
  unsigned long long ticks = 0;
  auto [fin, error] = std::from_chars(resto.data(), resto.data() + resto.size(), ticks);
  const long porSegundo = sysconf(_SC_CLK_TCK);
  if (error != std::errc() || fin == resto.data() || porSegundo <= 0) return std::nullopt;
  // Ticks count on the boot clock, which goes on through suspend; the wall clock now,
  // less the time elapsed since that start, is when it started.
  timespec real{}, arranque{};
  if (clock_gettime(CLOCK_REALTIME, &real) != 0 || clock_gettime(CLOCK_BOOTTIME, &arranque) != 0)
    return std::nullopt;
  const double transcurrido = static_cast<double>(arranque.tv_sec) +
                              static_cast<double>(arranque.tv_nsec) / 1e9 -
                              static_cast<double>(ticks) / static_cast<double>(porSegundo);
  return static_cast<double>(real.tv_sec) + static_cast<double>(real.tv_nsec) / 1e9 - transcurrido;
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
  // The host's buffered output goes out first. A thread blocked for good while it holds
  // a stream's lock would block that flush too, so it gets a bounded time.
  try {
    std::thread([estado] {
      std::fflush(nullptr);
      std::_Exit(estado);
    }).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  } catch (const std::system_error&) {
    // No thread to spare: end without the flush rather than risk never ending.
  }
  std::_Exit(estado);
}

}  // namespace ovelmar
