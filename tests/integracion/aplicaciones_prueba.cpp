// Opening bundles and finding, ending and watching their processes: real child processes;
// and the start times that tell a gone process from a later one that took its number.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "Plataforma/linux/AplicacionesLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "Plataforma/linux/RelojLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Esperar.hpp"

extern char** environ;

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using pruebas::crearPaquete;
using pruebas::escribirArchivo;
using pruebas::esperarA;
using pruebas::infoPlist;
using pruebas::leerArchivo;

class Aplicaciones : public ::testing::Test {
 protected:
  ~Aplicaciones() override {
    for (pid_t p : hijos_) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
  }
  // A copy of /bin/sleep at that path, so that its processes can be told apart.
  fs::path dormir(const fs::path& programa) {
    fs::create_directories(programa.parent_path());
    fs::copy_file("/bin/sleep", programa);
    fs::permissions(programa, fs::perms(0755));
    return programa;
  }
  // A bundle with that identifier whose executable sleeps.
  fs::path dormilon(const std::string& nombre, const std::string& id) {
    fs::path app = t_.ruta() / nombre;
    crearPaquete(app, infoPlist({{"CFBundleIdentifier", id}, {"CFBundleExecutable", "dormir"}}));
    dormir(app / "Contents/MacOS/dormir");
    return app;
  }
  // Starts the program as a child of the test, once it has really become that program.
  pid_t arrancar(const fs::path& programa) {
    char* argv[] = {const_cast<char*>(programa.c_str()), const_cast<char*>("60"), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, programa.c_str(), nullptr, nullptr, argv, environ), 0);
    hijos_.push_back(pid);
    std::error_code e;
    EXPECT_TRUE(esperarA([&] { return fs::read_symlink(proc(pid) + "/exe", e) == programa; }));
    return pid;
  }
  static std::string proc(pid_t pid) { return "/proc/" + std::to_string(pid); }
  // The error `abrir` answers with; an error too when it does not answer at once.
  std::optional<Error> abrir(const fs::path& app, bool instanciaNueva) {
    std::optional<Error> error = Error{};
    aplicaciones_.abrir(app.string(), instanciaNueva, [&](std::optional<Error> e) { error = e; });
    return error;
  }

  pruebas::CarpetaTemporal t_;
  PropiedadesLinux propiedades_;
  ProcesosLinux procesos_;
  AplicacionesLinux aplicaciones_{propiedades_, procesos_};
  std::vector<pid_t> hijos_;
};

TEST_F(Aplicaciones, AbrirArrancaSeparadoEnSesionPropiaYTerminarlo) {
  const fs::path app = t_.ruta() / "Z.app", marca = t_.ruta() / "marca";
  crearPaquete(app, infoPlist({{"CFBundleExecutable", "z"}}));
  escribirArchivo(app / "Contents/MacOS/z",
                  "#!/bin/sh\necho $$ > '" + marca.string() + "'\nexec sleep 30\n");
  fs::permissions(app / "Contents/MacOS/z", fs::perms(0755));

  ASSERT_EQ(abrir(app, true), std::nullopt);
  ASSERT_TRUE(esperarA([&] { return leerArchivo(marca).ends_with('\n'); }));
  const pid_t pid = std::stoi(leerArchivo(marca));
  EXPECT_EQ(getsid(pid), pid);  // leader of a session of its own
  EXPECT_EQ(fs::read_symlink(proc(pid) + "/cwd"), "/");
  const AplicacionEnEjecucion abierta{pid, std::nullopt};
  EXPECT_FALSE(aplicaciones_.terminada(abierta));
  aplicaciones_.terminar(abierta);
  EXPECT_TRUE(esperarA([&] { return aplicaciones_.terminada(abierta); }));
  // Reaped by the component, so it does not stay a zombie.
  EXPECT_TRUE(esperarA([&] { return !fs::exists(proc(pid)); }));

  // Ours, which nobody reaps yet: a zombie counts as terminated. Asked, a copy gets SIGTERM;
  // forced, SIGKILL.
  const fs::path programa = dormir(t_.ruta() / "dormir");
  for (auto [forzar, senal] : {std::pair{true, SIGKILL}, {false, SIGTERM}}) {
    const AplicacionEnEjecucion hijo{arrancar(programa), std::nullopt};
    forzar ? aplicaciones_.forzarTerminacion(hijo) : aplicaciones_.terminar(hijo);
    EXPECT_TRUE(esperarA([&] { return aplicaciones_.terminada(hijo); }));
    EXPECT_TRUE(fs::exists(proc(hijo.pid)));
    int estado = 0;
    ASSERT_EQ(waitpid(hijo.pid, &estado, 0), hijo.pid);
    EXPECT_TRUE(WIFSIGNALED(estado) && WTERMSIG(estado) == senal) << estado;
    std::erase(hijos_, hijo.pid);
  }
}

TEST_F(Aplicaciones, AbrirUnPaqueteInservibleEsUnError) {
  // The Info.plist (empty: none) and the mode of Contents/MacOS/z, a shell script.
  const std::pair<std::string, fs::perms> casos[] = {
      {"", fs::perms(0755)},
      {"<plist version=\"1.0\"><string>z</string></plist>", fs::perms(0755)},
      {infoPlist({{"CFBundleIdentifier", "a.b"}}), fs::perms(0755)},
      {infoPlist({{"CFBundleExecutable", "../Info.plist"}}), fs::perms(0755)},
      {infoPlist({{"CFBundleExecutable", "otro"}}), fs::perms(0755)},
      {infoPlist({{"CFBundleExecutable", "z"}}), fs::perms(0644)},
  };
  int n = 0;
  for (const auto& [info, modo] : casos) {
    const fs::path app = t_.ruta() / ("Roto" + std::to_string(n++) + ".app");
    if (!info.empty()) escribirArchivo(app / "Contents/Info.plist", info);
    escribirArchivo(app / "Contents/MacOS/z", "#!/bin/sh\nexit 0\n");
    fs::permissions(app / "Contents/MacOS/z", modo);
    EXPECT_NE(abrir(app, true), std::nullopt) << info;
  }
  EXPECT_NE(abrir(t_.ruta() / "No.app", false), std::nullopt);
}

// Without one, with no copy running, the swap's open starts it: the fault campaign.
TEST_F(Aplicaciones, SinInstanciaNuevaUnaCopiaEnMarchaBasta) {
  const fs::path app = dormilon("Y.app", "com.ejemplo.y"), marca = t_.ruta() / "marca";
  // The bundle's executable proper records each start; the running copy is the sleeper.
  escribirArchivo(app / "Contents/Info.plist", infoPlist({{"CFBundleIdentifier", "com.ejemplo.y"},
                                                          {"CFBundleExecutable", "lanzador"}}));
  escribirArchivo(app / "Contents/MacOS/lanzador",
                  "#!/bin/sh\necho \"$OVELMAR_VEZ\" >> '" + marca.string() + "'\n");
  fs::permissions(app / "Contents/MacOS/lanzador", fs::perms(0755));
  arrancar(app / "Contents/MacOS/dormir");

  setenv("OVELMAR_VEZ", "primera", 1);
  EXPECT_EQ(abrir(app, false), std::nullopt);
  setenv("OVELMAR_VEZ", "segunda", 1);
  EXPECT_EQ(abrir(app, true), std::nullopt);
  ASSERT_TRUE(esperarA([&] { return !leerArchivo(marca).empty(); }));
  EXPECT_EQ(leerArchivo(marca), "segunda\n");  // only the new instance was started
}

TEST_F(Aplicaciones, EnEjecucionPorIdentificador) {
  const fs::path a = dormilon("A.app", "com.ejemplo.a"), b = dormilon("B.app", "com.ejemplo.b");
  const fs::path otraA = dormilon("Otra carpeta/A.app", "com.ejemplo.a");
  arrancar(dormir(t_.ruta() / "suelto"));  // in no bundle at all
  std::vector<AplicacionEnEjecucion> deA{
      {arrancar(a / "Contents/MacOS/dormir"), a.string()},
      {arrancar(otraA / "Contents/MacOS/dormir"), otraA.string()}};
  const pid_t b1 = arrancar(b / "Contents/MacOS/dormir");
  std::sort(deA.begin(), deA.end(), [](auto& x, auto& y) { return x.pid < y.pid; });

  EXPECT_EQ(aplicaciones_.enEjecucion("com.ejemplo.a"), deA);
  EXPECT_EQ(aplicaciones_.enEjecucion("com.ejemplo.b"),
            (std::vector<AplicacionEnEjecucion>{{b1, b.string()}}));
  EXPECT_TRUE(aplicaciones_.enEjecucion("com.ejemplo.c").empty());
  EXPECT_TRUE(aplicaciones_.enEjecucion("").empty());
}

TEST(Procesos, ElInicioDeUnProcesoEsCuandoEmpezo) {
  ProcesosLinux procesos;
  const double antes = RelojLinux().ahora();
  const pid_t hijo = fork();
  if (hijo == 0) pause(), _exit(0);
  const std::optional<double> suyo = procesos.inicio(hijo);
  kill(hijo, SIGKILL), waitpid(hijo, nullptr, 0);
  EXPECT_NEAR(suyo.value_or(0), antes, 0.05);      // a clock tick is 10 ms
  EXPECT_EQ(procesos.inicio(hijo), std::nullopt);  // reaped: no such process
}

}  // namespace
}  // namespace ovelmar
