#include "BancoDeActualizacion.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <vector>

#include "Ovelmar/Actualizador.hpp"
#include "Ovelmar/Instalador.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "Plataforma/linux/RedLinux.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar::banco {

namespace {

// The real processes, but the host is a stand-in process (the swap script waits for it,
// not for the bench), and the script started is remembered so the bench can stop it.
class ProcesosDelBanco : public ProcesosLinux {
 public:
  std::int32_t anfitrion = 0;
  std::vector<std::int32_t> lanzados;
  std::optional<std::int32_t> lanzar(const std::string& p,
                                     const std::vector<std::string>& a) override {
    std::optional<std::int32_t> pid = ProcesosLinux::lanzar(p, a);
    if (pid) lanzados.push_back(*pid);
    return pid;
  }
  std::int32_t pid() override { return anfitrion; }
};

class AplicacionQuieta : public Aplicacion {
 public:
  void activar() override {}
  void terminar() override {}
};

}  // namespace

fs::path carpetaDelBanco(const std::string& nombre) {
  std::string plantilla =
      (fs::temp_directory_path() / ("ovelmar-bench-" + nombre + "-XXXXXX")).string();
  if (!mkdtemp(plantilla.data())) return {};
  const fs::path carpeta(plantilla);
  setenv("HOME", carpeta.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (carpeta / "config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (carpeta / "cache").c_str(), 1);
  signal(SIGPIPE, SIG_IGN);
  return carpeta;
}

double segundosDesde(Monotono::time_point t) {
  return std::chrono::duration<double>(Monotono::now() - t).count();
}

// Seconds the shell line took; negative when it failed.
double orden(const std::string& linea) {
  const char* argv[] = {"/bin/sh", "-c", linea.c_str(), nullptr};
  auto t = Monotono::now();
  pid_t pid;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    return -1;
  int estado = 0;
  waitpid(pid, &estado, 0);
  const double s = segundosDesde(t);
  return WIFEXITED(estado) && WEXITSTATUS(estado) == 0 ? s : -1;
}

std::string comillas(const fs::path& p) {
  return "'" + p.string() + "'";
}

void escribirInfo(const fs::path& app, const std::string& build) {
  fs::create_directories(app / "Contents/MacOS");
  std::ofstream(app / "Contents/Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>com.ej.Foo</string>"
         "<key>CFBundleName</key><string>Foo</string>"
         "<key>CFBundleExecutable</key><string>Foo</string>"
         "<key>CFBundleVersion</key><string>"
      << build << "</string></dict></plist>\n";
  std::ofstream(app / "Contents/MacOS/Foo") << "#!/bin/sh\nexit 0\n";
  fs::permissions(app / "Contents/MacOS/Foo", fs::perms::owner_all);
}

// Build 2 of Foo: files of 1 KiB to 2 MiB, most of them small, scaled to about `bytes`; one
// in four compresses (resources, text), the rest does not (images, code). Some links.
std::uint64_t generar(const fs::path& app, int archivos, std::uint64_t bytes,
                      const std::string& build) {
  escribirInfo(app, build);
  std::mt19937_64 azar(11);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<double> tamanos;
  double suma = 0;
  for (int i = 0; i < archivos; ++i)
    suma += tamanos.emplace_back(1024 * std::pow(2.0, 11 * std::pow(u(azar), 6)));
  std::uint64_t total = 0;
  std::vector<std::uint64_t> datos;
  for (int i = 0; i < archivos; ++i) {
    const fs::path carpeta = app / "Contents/Resources" / ("d" + std::to_string(i % 60));
    fs::create_directories(carpeta);
    const auto n = static_cast<std::size_t>(tamanos[i] * static_cast<double>(bytes) / suma);
    datos.resize(n / 8 + 1);
    for (auto& x : datos)
      x = i % 4 == 0 ? (azar() & 0x0f0f0f0f0f0f0f0fULL) | 0x4040404040404040ULL : azar();
    std::ofstream(carpeta / ("f" + std::to_string(i) + ".bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(datos.data()), static_cast<std::streamsize>(n));
    total += n;
    if (i % 150 == 75)
      fs::create_symlink(
          "../d" + std::to_string((i + 1) % 60) + "/f" + std::to_string(i + 1) + ".bin",
          carpeta / ("enlace" + std::to_string(i)));
  }
  return total;
}

double mediana(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Seconds from `empezar` to the first state of each phase; empty when it did not reach
// "reabriendo".
std::map<std::string, double> porElActualizador(const fs::path& carpeta, const std::string& raiz,
                                                const std::string& ca, const Diccionario& pedido,
                                                const fs::path& instalada) {
  fs::remove_all(carpeta / "Aplicaciones");
  fs::remove_all(carpeta / "cache");
  if (instalada.empty()) {
    escribirInfo(carpeta / "Aplicaciones/Foo.app", "1");
  } else {
    fs::create_directories(carpeta / "Aplicaciones/Foo.app");
    fs::copy(instalada, carpeta / "Aplicaciones/Foo.app",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }

  PlataformaLinux linux(raiz);
  pruebas::PaqueteFijo paquete;
  pruebas::EntornoFijo entorno;
  pruebas::CarpetasFijas carpetas;
  AplicacionQuieta aplicacion;
  ProcesosDelBanco procesos;
  paquete.rutaFija = (carpeta / "Aplicaciones/Foo.app").string();
  paquete.infoFija = Diccionario{
      {"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}, {"CFBundleVersion", "1"}};
  entorno.variables["KESTRAVON_DESTINO"] = (carpeta / "Aplicaciones").string();
  carpetas.cachesFija = (carpeta / "cache").string();
  Plataforma p = linux.plataforma();
  p.paquete = &paquete, p.entorno = &entorno, p.carpetas = &carpetas;
  p.aplicacion = &aplicacion, p.procesos = &procesos;
  pruebas::ColaGlobalSinDemoras global(*p.colaGlobal);
  p.colaGlobal = &global;
  linux.red().confiarEn(ca);
  ReglasDeActualizacion reglas(p);
  Instalador instalador(p, reglas);
  Actualizador act(p, reglas, instalador);

  const pid_t anfitrion = fork();
  if (anfitrion == 0) {
    alarm(600);  // never outlives a bench that was killed
    pause();
    _exit(0);
  }
  procesos.anfitrion = anfitrion;

  std::map<std::string, double> fases;
  std::string ultima;
  auto inicio = Monotono::now();
  const std::uint64_t observador =
      p.notificaciones->observar("com.ej.Foo.actualizacion", [&](const Diccionario& d) {
        const std::string* f = textoDe(d, "fase");
        if (f && !fases.count(*f)) fases[*f] = segundosDesde(inicio);
        if (f) ultima = *f;
      });
  if (act.empezar(pedido))
    while (ultima != "reabriendo" && ultima != "fallo" && segundosDesde(inicio) < 600)
      p.colaPrincipal->correrDurante(0.005);
  // Let `terminar`, 0.8 s after "reabriendo", run while the updater still exists.
  p.colaPrincipal->correrDurante(1.0);
  p.notificaciones->dejarDeObservar(observador);
  if (ultima != "reabriendo") {
    const Diccionario estado = act.estado();
    const std::string* motivo = textoDe(estado, "motivo");
    std::fprintf(stderr, "the updater ended in phase %s (%s)\n", ultima.c_str(),
                 motivo ? motivo->c_str() : "");
    fases.clear();
  }
  // The swap itself is not measured: stop the script before the stand-in ends.
  for (std::int32_t pid : procesos.lanzados) kill(-pid, SIGKILL), kill(pid, SIGKILL);
  kill(anfitrion, SIGKILL);
  waitpid(anfitrion, nullptr, 0);
  return fases;
}

}  // namespace ovelmar::banco
