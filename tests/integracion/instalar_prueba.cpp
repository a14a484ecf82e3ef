// Copying into place and the hand-over on real folders with real processes: the Linux
// backend, with the alerts, the application object and the forced exit as doubles.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/ArchivosLinux.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"
#include "comun/DoblesInstalador.hpp"
#include "comun/Esperar.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;
using namespace std::chrono_literals;

// The real file manager on a file system that may refuse renameat2's flags, with one
// rename that may fail.
class ArchivosVigilados : public ArchivosLinux {
 public:
  bool sinBanderas = false;
  std::string fallaDe;
  int renombrar(const std::string& de, const std::string& a, unsigned int banderas) override {
    if (banderas != 0 && sinBanderas) return EINVAL;
    if (de == fallaDe) return EIO;
    return ArchivosLinux::renombrar(de, a, banderas);
  }
};

struct Escena {
  CarpetaTemporal t;
  const std::string id = "com.ejemplo.prueba" + std::to_string(getpid());
  fs::path origen = fs::path(std::getenv("HOME")) / "Downloads/Kestra.app";
  fs::path carpeta = t.ruta() / "Aplicaciones";
  Bitacora b;
  PlataformaLinux linux;
  ArchivosVigilados archivos;
  EntornoFijo entorno;
  PaqueteFijo paquete;
  AlertasGuionadas alertas{b};
  AplicacionFalsa aplicacion{b};
  ColaGlobalManual global;  // holds the forced exit, which would end the test
  Plataforma p = linux.plataforma();
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};

  Escena() {
    fs::create_directories(carpeta);
    entorno.variables["KESTRAVON_DESTINO"] = carpeta.string();
    paquete.rutaFija = origen.string();
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", id}, {"CFBundleName", "Kestra"}};
    p.archivos = &archivos, p.entorno = &entorno, p.paquete = &paquete, p.alertas = &alertas;
    p.aplicacion = &aplicacion, p.colaGlobal = &global;
    crearApp(origen, "7");
  }
  ~Escena() { fs::remove_all(origen.parent_path()); }
  fs::path D() { return instalador.destino(); }

  // A quarantined bundle of this application.
  void crearApp(const fs::path& app, const std::string& version) {
    crearPaquete(app, infoPlist({{"CFBundleIdentifier", id},
                                 {"CFBundleExecutable", "Kestra"},
                                 {"CFBundleVersion", version}}));
    escribirArchivo(app / "Contents/MacOS/Kestra", "#!/bin/sh\nexit 0\n");
    fs::permissions(app / "Contents/MacOS/Kestra", fs::perms(0755));
    const char q[] = "0081;6553e2a1;Safari;";
    setxattr((app / "Contents/Info.plist").c_str(), "user.com.apple.quarantine", q, sizeof q - 1,
             0);
  }
  // The build of the bundle at `app`; "" when there is none.
  std::string version(const fs::path& app) {
    const std::string info = leerArchivo(app / "Contents/Info.plist");
    for (std::string v : {"6", "7"})
      if (info.find(">" + v + "<") != std::string::npos) return v;
    return fs::exists(app) ? "?" : "";
  }
  // Whether the bundle still carries the download's quarantine attribute.
  bool enCuarentena(const fs::path& app) {
    return getxattr((app / "Contents/Info.plist").c_str(), "user.com.apple.quarantine", nullptr,
                    0) >= 0;
  }
};

TEST(Instalar, EnCarpetasReales) {
  // A leftover .nuevo and the order of the steps are the unit tests'; here, renameat2 and
  // its stand-in where the file system refuses its flags (see ArchivosVigilados).
  struct Caso {
    const char* caso;
    bool vieja, sinBanderas, fallaLaEntrada;  // vieja: an older copy at the destination
    Resultado error;
    const char* queda;
  };
  const Caso casos[] = {
      {"nueva, sin banderas de renameat2", false, true, false, std::nullopt, "7"},
      {"reemplaza sin banderas", true, true, false, std::nullopt, "7"},
      {"sin banderas, la nueva no entra: la vieja vuelve", true, true, true, errorPosix(EIO), "6"},
      {"reemplaza una más vieja", true, false, false, std::nullopt, "7"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Escena e;
    if (c.vieja) e.crearApp(e.D(), "6");
    e.archivos.sinBanderas = c.sinBanderas;
    if (c.fallaLaEntrada) e.archivos.fallaDe = e.D().string() + ".nuevo";
    EXPECT_EQ(e.instalador.instalar(e.origen.string()), c.error);
    EXPECT_EQ(e.version(e.D()), c.queda);
    EXPECT_EQ(e.enCuarentena(e.D()), c.error.has_value());
    EXPECT_EQ(fs::status(e.D() / "Contents/MacOS/Kestra").permissions(), fs::perms(0755));
    auto dentro = fs::directory_iterator(e.carpeta);
    EXPECT_EQ(std::distance(fs::begin(dentro), fs::end(dentro)), 1);  // nothing else left
    EXPECT_EQ(e.version(e.origen), "7");
  }
}

TEST(Archivos, ElArchivoDescargadoASuNombreSinBanderasDeRenameat2) {
  CarpetaTemporal t;
  ArchivosVigilados archivos;
  archivos.sinBanderas = true;
  for (bool ocupado : {false, true}) {
    escribirArchivo(t / "parcial", "nuevo");
    if (ocupado) escribirArchivo(t / "Kestra-7.zip", "otro");  // never replaced
    EXPECT_EQ(archivos.mover(t / "parcial", t / "Kestra-7.zip"),
              ocupado ? Resultado(errorPosix(EEXIST)) : std::nullopt);
    EXPECT_EQ(leerArchivo(t / "Kestra-7.zip"), ocupado ? "otro" : "nuevo");
    EXPECT_EQ(fs::exists(t / "parcial"), ocupado);
  }
}

// Installs and runs a tool in a host that ignores SIGCHLD or has a thread reap every
// child; ends the process with 0 when both answers were right.
[[noreturn]] void instalarEnElAnfitrion(bool ignoraSigchld) {
  if (ignoraSigchld)
    signal(SIGCHLD, SIG_IGN);
  else
    std::thread([] {
      for (int i = 0; i < 100000; ++i)
        if (waitpid(-1, nullptr, 0) < 0) std::this_thread::sleep_for(1ms);
    }).detach();
  Escena e;
  Resultado r = e.instalador.instalar(e.origen.string());
  auto estado = e.p.procesos->ejecutar("/bin/sh", {"-c", "exit 3"});
  std::fprintf(stderr, "%s\n", r ? r->descripcion.c_str() : "instalada");
  std::_Exit(!r && e.version(e.D()) == "7" && estado == decltype(estado)(3) ? 0 : 1);
}

TEST(Instalar, AunqueElAnfitrionSeOcupeDeSusHijos) {
  // Each in a process of its own: the host's setting must not leak into other tests.
  for (bool ignora : {true, false})
    EXPECT_EXIT(instalarEnElAnfitrion(ignora), testing::ExitedWithCode(0), "instalada");
}

// That it flushes what is pending the demo's move shows (mover_prueba.cpp); a thread that
// holds the stream's lock for good must not keep the process alive.
TEST(Procesos, SalirTerminaAunqueOtroHiloRetengaLaSalida) {
  EXPECT_EXIT((std::thread([] { flockfile(stderr), std::this_thread::sleep_for(60s); }).detach(),
               std::this_thread::sleep_for(100ms), ProcesosLinux().salir(0)),
              testing::ExitedWithCode(0), "");
}

// Opened: only then does the download go to the trash.
TEST(AbrirInstalada, LaDescargaVaALaPapeleraTrasAbrir) {
  Escena e;
  e.crearApp(e.D(), "7");
  e.instalador.abrirInstalada(e.origen.string(), false, true);
  // Until the application was asked to terminate.
  ASSERT_TRUE(esperarA([&] {
    e.p.colaPrincipal->correrDurante(0.05);
    return std::count(e.b.begin(), e.b.end(), "terminar") > 0;
  }));
  EXPECT_FALSE(fs::exists(e.origen));
  EXPECT_TRUE(fs::exists(fs::path(std::getenv("XDG_DATA_HOME")) /
                         "Trash/files/Kestra.app/Contents/Info.plist"));
  EXPECT_TRUE(e.alertas.mostradas.empty());
  EXPECT_EQ(e.global.trabajos.size(), 1u);  // the forced exit, 1.5 s later
}

}  // namespace
}  // namespace ovelmar
