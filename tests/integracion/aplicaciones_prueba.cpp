// Opening bundles and finding, ending and watching their processes: real child processes.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Plataforma/linux/AplicacionesLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Esperar.hpp"

extern char** environ;

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using pruebas::CarpetaTemporal;
using pruebas::crearPaquete;
using pruebas::escribirArchivo;
using pruebas::esperarA;
using pruebas::infoPlist;

std::string leer(const fs::path& ruta) {
  std::ifstream f(ruta, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Children this test starts itself; killed and reaped at the end whatever happens.
class Hijos {
 public:
  ~Hijos() {
    for (pid_t p : pids_) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
  }
  pid_t arrancar(const std::vector<std::string>& argv) {
    std::vector<char*> p;
    for (const auto& a : argv) p.push_back(const_cast<char*>(a.c_str()));
    p.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, argv[0].c_str(), nullptr, nullptr, p.data(), environ), 0);
    pids_.push_back(pid);
    return pid;
  }
  void reapear(pid_t pid) {
    waitpid(pid, nullptr, 0);
    std::erase(pids_, pid);
  }

 private:
  std::vector<pid_t> pids_;
};

class Aplicaciones : public ::testing::Test {
 protected:
  // A bundle with that identifier whose Contents/MacOS holds a copy of /bin/sleep.
  fs::path paqueteDormilon(const std::string& nombre, const std::string& id) {
    fs::path app = t_.ruta() / nombre;
    crearPaquete(app, infoPlist({{"CFBundleIdentifier", id}, {"CFBundleExecutable", "dormir"}}));
    fs::copy_file("/bin/sleep", app / "Contents/MacOS/dormir");
    fs::permissions(app / "Contents/MacOS/dormir", fs::perms(0755));
    return app;
  }
  // Waits until the child has really become the program (exec done).
  void esperarEjecutable(pid_t pid, const fs::path& programa) {
    ASSERT_TRUE(esperarA([&] {
      std::error_code e;
      return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", e) == programa;
    }));
  }

  CarpetaTemporal t_;
  PropiedadesLinux propiedades_;
  ProcesosLinux procesos_;
  AplicacionesLinux aplicaciones_{propiedades_, procesos_};
  Hijos hijos_;
};

TEST_F(Aplicaciones, AbrirArrancaElEjecutableSeparadoEnSesionPropia) {
  const fs::path app = t_.ruta() / "Z.app";
  const fs::path marca = t_.ruta() / "marca";
  crearPaquete(app, infoPlist({{"CFBundleExecutable", "z"}}));
  // It writes its pid and session, then stays a while so they can be checked.
  escribirArchivo(app / "Contents/MacOS/z",
                  "#!/bin/sh\necho $$ $(cut -d' ' -f6 /proc/$$/stat) $(pwd) > '" + marca.string() +
                      ".t'\nmv '" + marca.string() + ".t' '" + marca.string() +
                      "'\nexec sleep 30\n");
  fs::permissions(app / "Contents/MacOS/z", fs::perms(0755));

  int llamadas = 0;
  std::optional<Error> error;
  aplicaciones_.abrir(app.string(), true, [&](std::optional<Error> e) {
    ++llamadas;
    error = e;
  });
  ASSERT_EQ(llamadas, 1);
  ASSERT_FALSE(error) << error->descripcion;
  ASSERT_TRUE(esperarA([&] { return fs::exists(marca); }));
  std::istringstream datos(leer(marca));
  pid_t pid = 0, sesion = 0;
  std::string carpeta;
  datos >> pid >> sesion >> carpeta;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(sesion, pid);  // leader of a session of its own
  EXPECT_EQ(carpeta, "/");
  AplicacionEnEjecucion abierta{pid, std::nullopt};
  aplicaciones_.forzarTerminacion(abierta);
  // Reaped by the component, so it does not stay a zombie.
  EXPECT_TRUE(esperarA([&] { return !fs::exists("/proc/" + std::to_string(pid)); }));
}

TEST_F(Aplicaciones, AbrirUnPaqueteInservibleEsUnError) {
  struct Caso {
    const char* nombre;
    std::string info;  // empty: no Info.plist
    std::string ejecutable;
    std::string contenido;  // empty: no executable file
    fs::perms modo;
  };
  const std::string guion = "#!/bin/sh\nexit 0\n";
  const Caso casos[] = {
      {"no Info.plist", "", "z", guion, fs::perms(0755)},
      {"malformed Info.plist", "<plist><dict><key>", "z", guion, fs::perms(0755)},
      {"Info.plist not a dictionary", "<plist version=\"1.0\"><string>z</string></plist>", "z",
       guion, fs::perms(0755)},
      {"no CFBundleExecutable", infoPlist({{"CFBundleIdentifier", "a.b"}}), "z", guion,
       fs::perms(0755)},
      {"executable outside MacOS", infoPlist({{"CFBundleExecutable", "../Info.plist"}}), "z", guion,
       fs::perms(0755)},
      {"executable missing", infoPlist({{"CFBundleExecutable", "otro"}}), "z", guion,
       fs::perms(0755)},
      {"not executable", infoPlist({{"CFBundleExecutable", "z"}}), "z", guion, fs::perms(0644)},
      {"not a program", infoPlist({{"CFBundleExecutable", "z"}}), "z", "\x01\x02 nada",
       fs::perms(0755)},
  };
  int n = 0;
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    const fs::path app = t_.ruta() / ("Roto" + std::to_string(n++) + ".app");
    fs::create_directories(app / "Contents/MacOS");
    if (!c.info.empty()) escribirArchivo(app / "Contents/Info.plist", c.info);
    escribirArchivo(app / "Contents/MacOS" / c.ejecutable, c.contenido);
    fs::permissions(app / "Contents/MacOS" / c.ejecutable, c.modo);
    int llamadas = 0;
    std::optional<Error> error;
    aplicaciones_.abrir(app.string(), true, [&](std::optional<Error> e) {
      ++llamadas;
      error = e;
    });
    EXPECT_EQ(llamadas, 1);
    EXPECT_TRUE(error);
  }
  std::optional<Error> error;
  aplicaciones_.abrir((t_.ruta() / "No.app").string(), false,
                      [&](std::optional<Error> e) { error = e; });
  EXPECT_TRUE(error);
}

TEST_F(Aplicaciones, SinInstanciaNuevaUnaCopiaEnMarchaBasta) {
  const fs::path app = paqueteDormilon("Y.app", "com.ejemplo.y");
  const fs::path marca = t_.ruta() / "marca";
  // The bundle's executable proper records each start; the running copy is the sleeper.
  escribirArchivo(app / "Contents/Info.plist", infoPlist({{"CFBundleIdentifier", "com.ejemplo.y"},
                                                          {"CFBundleExecutable", "lanzador"}}));
  escribirArchivo(app / "Contents/MacOS/lanzador",
                  "#!/bin/sh\necho \"$OVELMAR_VEZ\" >> '" + marca.string() + "'\n");
  fs::permissions(app / "Contents/MacOS/lanzador", fs::perms(0755));
  pid_t dormilon = hijos_.arrancar({(app / "Contents/MacOS/dormir").string(), "60"});
  esperarEjecutable(dormilon, app / "Contents/MacOS/dormir");

  std::optional<Error> error{Error{}};
  setenv("OVELMAR_VEZ", "primera", 1);
  aplicaciones_.abrir(app.string(), false, [&](std::optional<Error> e) { error = e; });
  EXPECT_FALSE(error);
  setenv("OVELMAR_VEZ", "segunda", 1);
  aplicaciones_.abrir(app.string(), true, [&](std::optional<Error> e) { error = e; });
  EXPECT_FALSE(error);
  ASSERT_TRUE(esperarA([&] { return !leer(marca).empty(); }));
  EXPECT_EQ(leer(marca), "segunda\n");  // only the new instance was started

  // Once the copy has gone, opening without a new instance starts one.
  kill(dormilon, SIGKILL);
  hijos_.reapear(dormilon);
  setenv("OVELMAR_VEZ", "tercera", 1);
  aplicaciones_.abrir(app.string(), false, [&](std::optional<Error> e) { error = e; });
  EXPECT_FALSE(error);
  EXPECT_TRUE(esperarA([&] { return leer(marca) == "segunda\ntercera\n"; }));
}

TEST_F(Aplicaciones, EnEjecucionPorIdentificador) {
  const fs::path a = paqueteDormilon("A.app", "com.ejemplo.a");
  const fs::path b = paqueteDormilon("B.app", "com.ejemplo.b");
  const fs::path otraA = paqueteDormilon("Otra carpeta/A.app", "com.ejemplo.a");
  const fs::path suelto = t_.ruta() / "dormir";
  fs::copy_file("/bin/sleep", suelto);
  fs::permissions(suelto, fs::perms(0755));

  pid_t a1 = hijos_.arrancar({(a / "Contents/MacOS/dormir").string(), "60"});
  pid_t b1 = hijos_.arrancar({(b / "Contents/MacOS/dormir").string(), "60"});
  pid_t a2 = hijos_.arrancar({(otraA / "Contents/MacOS/dormir").string(), "60"});
  pid_t s1 = hijos_.arrancar({suelto.string(), "60"});
  esperarEjecutable(a1, a / "Contents/MacOS/dormir");
  esperarEjecutable(b1, b / "Contents/MacOS/dormir");
  esperarEjecutable(a2, otraA / "Contents/MacOS/dormir");
  esperarEjecutable(s1, suelto);

  std::vector<AplicacionEnEjecucion> esperadas{{a1, a.string()}, {a2, otraA.string()}};
  std::sort(esperadas.begin(), esperadas.end(), [](auto& x, auto& y) { return x.pid < y.pid; });
  EXPECT_EQ(aplicaciones_.enEjecucion("com.ejemplo.a"), esperadas);
  EXPECT_EQ(aplicaciones_.enEjecucion("com.ejemplo.b"),
            (std::vector<AplicacionEnEjecucion>{{b1, b.string()}}));
  EXPECT_TRUE(aplicaciones_.enEjecucion("com.ejemplo.c").empty());
  EXPECT_TRUE(aplicaciones_.enEjecucion("").empty());
}

TEST_F(Aplicaciones, TerminarYForzar) {
  const fs::path listo = t_.ruta() / "listo";
  pid_t obediente = hijos_.arrancar({"/bin/sleep", "60"});
  pid_t terco =
      hijos_.arrancar({"/bin/sh", "-c",
                       "trap '' TERM; : > '" + listo.string() + "'; while :; do sleep 0.05; done"});
  ASSERT_TRUE(esperarA([&] { return fs::exists(listo); }));
  AplicacionEnEjecucion a{obediente, std::nullopt}, b{terco, std::nullopt};
  EXPECT_FALSE(aplicaciones_.terminada(a));
  EXPECT_FALSE(aplicaciones_.terminada(b));

  aplicaciones_.terminar(a);
  aplicaciones_.terminar(b);
  // Not reaped yet, so a zombie: it still counts as terminated.
  EXPECT_TRUE(esperarA([&] { return aplicaciones_.terminada(a); }));
  // The one that ignores the request is still there a moment later.
  EXPECT_FALSE(esperarA([&] { return aplicaciones_.terminada(b); }, 0.5));

  aplicaciones_.forzarTerminacion(b);
  EXPECT_TRUE(esperarA([&] { return aplicaciones_.terminada(b); }));
  hijos_.reapear(obediente);
  hijos_.reapear(terco);
  EXPECT_TRUE(aplicaciones_.terminada(a));
}

}  // namespace
}  // namespace ovelmar
