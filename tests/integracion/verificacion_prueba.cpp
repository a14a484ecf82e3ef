// Verification and swap over the real platform: archives made and signed by the test,
// the real unpacking tool, real signatures and the real swap script under /bin/sh.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/AutoridadDePrueba.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"
#include "comun/DoblesInstalador.hpp"
#include "comun/Esperar.hpp"
#include "herramientas/Publicador.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

// A bundle of Foo: Info.plist, an executable that writes where it ran from into `marca`
// (so a test sees which build the swap opened), and a resource.
void hacerApp(const fs::path& app, const std::string& id, const std::string& build,
              const fs::path& marca) {
  escribirArchivo(app / "Contents/Info.plist", infoPlist({{"CFBundleIdentifier", id},
                                                          {"CFBundleName", "Foo"},
                                                          {"CFBundleExecutable", "Foo"},
                                                          {"CFBundleVersion", build}}));
  escribirArchivo(app / "Contents/Resources/datos.txt", "build " + build + "\n");
  escribirArchivo(app / "Contents/MacOS/Foo",
                  "#!/bin/sh\necho \"build " + build + "\" > '" + marca.string() + "'\n");
  fs::permissions(app / "Contents/MacOS/Foo", fs::perms::owner_all | fs::perms::group_read);
}

// The real processes, but for the host's own process identifier, which a test may point at
// a stand-in so that the swap script does not wait for the test to end.
struct ProcesosDePrueba : ProcesosLinux {
  std::int32_t pidDelAnfitrion = 0;
  std::int32_t pid() override { return pidDelAnfitrion ? pidDelAnfitrion : ProcesosLinux::pid(); }
};

// A process that stands in for the host: the swap script waits for it to end.
struct Sustituto {
  pid_t pid = fork();
  Sustituto() {
    if (pid == 0) {
      alarm(300);  // never outlives a test that was killed
      pause();
      _exit(0);
    }
  }
  void terminar() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = 0;
  }
  ~Sustituto() { terminar(); }
};

// Foo build 1 installed in a folder of the test, with the real platform around it.
struct Banco {
  CarpetaTemporal carpeta;
  PlataformaLinux linux{autoridad().raiz()};
  PaqueteFijo paquete;
  EntornoFijo entorno;
  CarpetasFijas carpetas;
  RegistroEnMemoria registro;
  Bitacora bitacora;
  AplicacionFalsa aplicacion{bitacora};
  ProcesosDePrueba procesos;
  Plataforma p = linux.plataforma();
  ColaGlobalSinDemoras global{*p.colaGlobal};
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};
  Actualizador act{p, reglas, instalador};
  const fs::path app = carpeta.ruta() / "Aplicaciones/Foo.app";
  const fs::path marca = carpeta.ruta() / "abierta";

  Banco() {
    hacerApp(app, "com.ej.Foo", "1", marca);
    paquete.rutaFija = app.string();
    paquete.infoFija = Diccionario{
        {"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}, {"CFBundleVersion", "1"}};
    entorno.variables["KESTRAVON_DESTINO"] = carpeta / "Aplicaciones";
    carpetas.cachesFija = carpeta / "cache";
    p.paquete = &paquete, p.entorno = &entorno, p.carpetas = &carpetas;
    p.registro = &registro, p.aplicacion = &aplicacion, p.procesos = &procesos;
    p.colaGlobal = &global;
  }
  bool delta = false;  // the update is a delta from the installed build 1
  fs::path zip() const { return act.carpeta() + (delta ? "/Foo-2.desde-1.zip" : "/Foo-2.zip"); }
  // The request for the archive as it lies in the download folder.
  Diccionario pedido() {
    const std::string sha = *Actualizador::sha256(p, zip());
    Diccionario d{{"url", Valor("https://127.0.0.1:1/Foo-2.zip")},
                  {"sha256", Valor(sha)},
                  {"build", Valor(2)},
                  {"tamano", Valor(static_cast<std::int64_t>(fs::file_size(zip())))}};
    if (delta) d["base"] = 1;
    return d;
  }
  // Verification runs on a worker; its result comes back on the main queue.
  void esperarVerificacion() {
    esperarA([&] {
      p.colaPrincipal->correrDurante(0.02);
      return fase() != "comprobando" && fase() != "instalando";
    });
  }
  std::string fase() {
    const Diccionario estado = act.estado();
    return *textoDe(estado, "fase");
  }
};

TEST(Verificacion, CadaFalloDaSuMotivoBorraElArchivoYNoTocaNadaFuera) {
  // Whole archives, good and hostile, are the fault campaign's; here the deltas, which
  // only the maker's tool writes.
  // A delta from the installed build 1, signed now, to build 2: datos.txt changed,
  // nuevo.txt added, viejo.txt removed, a link retargeted; `estropear` (Python, the
  // archive open as z) then alters the archive.
  auto delta = [](const std::string& estropear) {
    return [=](Banco& b, const fs::path& f) {
      const fs::path r = "Contents/Resources", nueva = f / "nueva/Foo.app";
      escribirArchivo(b.app / r / "viejo.txt", "v");
      fs::create_symlink("datos.txt", b.app / r / "enlace");
      ASSERT_EQ(autoridad().firmarYNotarizar(b.app, kEquipo), "");
      fs::create_directories(nueva);
      fs::copy(b.app, nueva, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
      hacerApp(nueva, "com.ej.Foo", "2", b.marca);
      fs::remove(nueva / r / "viejo.txt");
      escribirArchivo(nueva / r / "nuevo.txt", "n");
      fs::remove(nueva / r / "enlace");
      fs::create_symlink("nuevo.txt", nueva / r / "enlace");
      ASSERT_EQ(autoridad().firmarYNotarizar(nueva, kEquipo), "");
      ASSERT_EQ(archivarPaquete(nueva.string(), b.zip().string(), nullptr, b.app.string()),
                std::nullopt);
      if (!estropear.empty())
        ejecutarOrden("python3 -c 'import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\n" +
                      estropear + "' '" + b.zip().string() + "'");
    };
  };
  // Keeps the entries for which `quedar(i)` holds and writes the archive again.
  const std::string reescribir =
      "e=[(i,z.read(i)) for i in z.infolist() if quedar(i)]\nz.close()\n"
      "z=zipfile.ZipFile(sys.argv[1],\"w\")\n[z.writestr(i,d) for i,d in e]\n";
  struct Caso {
    const char* caso;
    std::function<void(Banco&, const fs::path& fuente)> preparar;
    const char* motivo;
    int lineasDeFirma = 0;
  };
  const Caso casos[] = {
      {"un delta", delta(""), ""},
      {"un delta sin un archivo cambiado",
       delta("quedar=lambda i: not i.filename.endswith(\"datos.txt\")\n" + reescribir), "firma", 1},
      {"un delta con un archivo que el sello no nombra",
       delta("z.close()\nz=zipfile.ZipFile(sys.argv[1],\"a\")\n"
             "z.writestr(\"Foo.app/Contents/Resources/otro.txt\",\"x\")"),
       "firma", 1},
      {"un delta que escribiría fuera del paquete por un enlace",
       delta("quedar=lambda i: \"/Resources/\" not in i.filename\n" + reescribir +
             "i=zipfile.ZipInfo(\"Foo.app/Contents/Resources\")\ni.create_system=3\n"
             "i.external_attr=0o120777<<16\nz.writestr(i,\"../../fuera\")\n"
             "z.writestr(\"fuera/\",\"\")"),
       "firma", 0},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    b.delta = true;
    CarpetaTemporal fuente;
    fs::create_directories(fs::path(b.zip()).parent_path());
    c.preparar(b, fuente.ruta());
    Sustituto anfitrion;  // the host the swap waits for
    b.procesos.pidDelAnfitrion = anfitrion.pid;
    const std::set<std::string> instalada = arbol(b.app);

    ASSERT_TRUE(b.act.empezar(b.pedido()));
    b.esperarVerificacion();
    int lineas = 0;
    for (const std::string& l : b.registro.lineas)
      lineas += l.starts_with("[actualización] firma rechazada (-");
    EXPECT_EQ(lineas, c.lineasDeFirma);
    if (*c.motivo) {
      EXPECT_EQ(b.act.estado(),
                (Diccionario{{"fase", "fallo"}, {"motivo", c.motivo}, {"build", 2}}));
      EXPECT_FALSE(fs::exists(b.zip()));
      EXPECT_EQ(arbol(b.app), instalada);
      EXPECT_EQ(std::distance(fs::directory_iterator(b.app.parent_path()), {}), 1);
      continue;
    }
    // The swap: the script waits for the host, puts build 2 in place and opens it.
    EXPECT_EQ(b.fase(), "reabriendo");
    EXPECT_FALSE(fs::exists(b.act.carpeta()));
    anfitrion.terminar();
    // The shell makes the file before it writes the line.
    ASSERT_TRUE(esperarA([&] { return leerArchivo(b.marca).ends_with('\n'); }));
    EXPECT_EQ(leerArchivo(b.marca), "build 2\n");
    EXPECT_EQ(arbol(b.app), arbol(fuente.ruta() / "nueva/Foo.app"));
    EXPECT_EQ(std::distance(fs::directory_iterator(b.app.parent_path()), {}), 1);
  }
}

// A copy started from the Downloads folder while a swap waits for its host: the move waits
// for the swap, then installs its own copy whole.
TEST(Verificacion, UnaCopiaDesdeDescargasEsperaAlCambioPendiente) {
  Banco b;
  CarpetaTemporal fuente;
  hacerApp(fuente.ruta() / "Foo.app", "com.ej.Foo", "2", b.marca);
  ASSERT_EQ(autoridad().firmarYNotarizar(fuente.ruta() / "Foo.app", kEquipo), "");
  fs::create_directories(fs::path(b.zip()).parent_path());
  zipDe(fuente.ruta(), b.zip());
  Sustituto anfitrion;
  b.procesos.pidDelAnfitrion = anfitrion.pid;
  ASSERT_TRUE(b.act.empezar(b.pedido()));
  b.esperarVerificacion();
  ASSERT_EQ(b.fase(), "reabriendo");

  // The copy in Downloads is build 3; its move runs in this process, as another host.
  const fs::path descargada = b.carpeta.ruta() / "Descargas/Foo.app";
  hacerApp(descargada, "com.ej.Foo", "3", b.marca);
  ProcesosDePrueba otros;
  Plataforma q = b.p;
  PaqueteFijo paquete;
  paquete.rutaFija = descargada.string();
  paquete.infoFija = Diccionario{
      {"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}, {"CFBundleVersion", "3"}};
  CarpetasFijas carpetas;
  carpetas.descargasFija = (b.carpeta.ruta() / "Descargas").string();
  q.paquete = &paquete, q.carpetas = &carpetas, q.procesos = &otros;
  ReglasDeActualizacion reglas(q);
  Instalador mover(q, reglas);
  // The host ends half a second into the move's wait.
  q.colaPrincipal->enviarDespues(0.5, [&] { anfitrion.terminar(); });
  testing::internal::CaptureStdout();
  EXPECT_TRUE(mover.moverSiHaceFalta());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "instalada en " + b.app.string() + " desde " + descargada.string() + "\n");
  EXPECT_TRUE(esperarA([&] { return fs::exists(b.marca); }));  // the swap opened the app
  EXPECT_EQ(leerArchivo(b.app / "Contents/Resources/datos.txt"), "build 3\n");
  EXPECT_TRUE(fs::exists(b.app / "Contents/MacOS/Foo"));
  EXPECT_FALSE(fs::exists(b.app.string() + ".nuevo"));
}

}  // namespace
}  // namespace ovelmar
