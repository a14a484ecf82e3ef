// The Linux backend under the identity, location and user-defaults rules: real bundles,
// real plists, real environment, a real read-only mount.

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>

#include "Plataforma/linux/ArchivosLinux.hpp"
#include "Plataforma/linux/CarpetasLinux.hpp"
#include "Plataforma/linux/IdiomasLinux.hpp"
#include "Plataforma/linux/PaquetePrincipalLinux.hpp"
#include "Plataforma/linux/PreferenciasLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

// The bundle around the executable, and its Info.plist; a loose executable stands for its
// folder. A missing or odd Info.plist: aplicaciones_prueba opens such bundles.
TEST(PaquetePrincipal, ElPaqueteEsElQueRodeaAlEjecutable) {
  CarpetaTemporal t;
  const fs::path app = t.ruta() / "Foo.app";
  crearPaquete(app, infoPlist({{"CFBundleIdentifier", "com.ej.Foo"}}));
  PropiedadesLinux propiedades;
  PaquetePrincipalLinux paquete(propiedades, (app / "Contents/MacOS/foo").string());
  EXPECT_EQ(paquete.ruta(), app.string());
  EXPECT_EQ(paquete.info(), (Diccionario{{"CFBundleIdentifier", Valor("com.ej.Foo")}}));
  PaquetePrincipalLinux suelto(propiedades, "/usr/bin/env");
  EXPECT_EQ(suelto.ruta(), "/usr/bin");
  EXPECT_FALSE(suelto.info());
  for (const char* fuera : {"/Contents/MacOS/x", "/a/X.app/Contents/bin/x", "/a/X.app/MacOS/x"})
    EXPECT_EQ(PaquetePrincipalLinux::paqueteDe(fuera), std::nullopt) << fuera;
}

TEST(Idiomas, ElOrdenDeGlibConEtiquetasDeIdioma) {
  struct Caso {
    const char* language;
    const char* lang;
    std::vector<std::string> esperados;
  };
  const Caso casos[] = {
      {"", "es_ES.UTF-8", {"es-ES"}},
      {"fr:es", "es_ES.UTF-8", {"fr", "es"}},
      {"", "C", {}},
      {"", "POSIX", {}},
  };
  IdiomasLinux idiomas;
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  for (const Caso& c : casos) {
    setenv("LANGUAGE", c.language, 1);
    setenv("LANG", c.lang, 1);
    EXPECT_EQ(idiomas.preferidos(), c.esperados) << c.language << " / " << c.lang;
  }
}

TEST(Carpetas, SoloCuentaComoDescargasUnaCarpetaQueLoEs) {
  const fs::path casa(std::getenv("HOME"));
  const fs::path dirs = fs::path(std::getenv("XDG_CONFIG_HOME")) / "user-dirs.dirs";
  fs::create_directories(casa / "Bajadas");
  fs::create_directories(casa / "Downloads");
  fs::create_directory_symlink(casa, casa / "Enlace");
  // XDG_DOWNLOAD_DIR (nullptr: no user-dirs.dirs) and the folder below the home, if any.
  // A reload that finds no value keeps the last one: that row comes first.
  const std::pair<const char*, const char*> casos[] = {
      {nullptr, "Downloads"},
      {"$HOME/Bajadas", "Bajadas"},
      {"$HOME/", nullptr},
      {"$HOME/Enlace", nullptr},
      {"/", nullptr},
      {"$HOME/Nada", nullptr},
  };
  for (const auto& [linea, esperada] : casos) {
    SCOPED_TRACE(linea ? linea : "sin user-dirs.dirs");
    fs::remove(dirs);
    if (linea) escribirArchivo(dirs, "XDG_DOWNLOAD_DIR=\"" + std::string(linea) + "\"\n");
    g_reload_user_special_dirs_cache();
    EXPECT_EQ(CarpetasLinux().descargas(),
              esperada ? std::optional((casa / esperada).string()) : std::nullopt);
  }
}

// A real volume: a tmpfs mounted read-only, where the machine lets us mount.
TEST(Archivos, SeSabeSiElVolumenEsDeSoloLectura) {
  CarpetaTemporal t;
  const fs::path volumen = t.ruta() / "media" / "Nombre 2";
  fs::create_directories(volumen);
  if (mount("ovelmar", volumen.c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0)
    GTEST_SKIP() << "this machine does not let the test mount a file system: "
                 << std::strerror(errno);
  struct Desmontar {
    const fs::path& volumen;
    ~Desmontar() { umount2(volumen.c_str(), MNT_DETACH); }
  } desmontar{volumen};
  ArchivosLinux archivos;
  EXPECT_EQ(archivos.soloLectura(volumen.string()), true);
  EXPECT_EQ(archivos.soloLectura(t.ruta().string()), false);
  EXPECT_FALSE(archivos.escribible(volumen.string()));
}

// The host's user defaults: one property list per host under XDG_CONFIG_HOME, looked up on
// every access, written through a temporary file that is renamed.
TEST(Preferencias, UnaListaPorAnfitrionQueConservaLasDemasClaves) {
  CarpetaTemporal t;
  setenv("XDG_CONFIG_HOME", (t.ruta() / "config").c_str(), 1);
  PropiedadesLinux propiedades;
  ArchivosLinux archivos;
  PreferenciasLinux preferencias{propiedades, archivos, "com.ejemplo.Foo"};
  const fs::path ruta = t.ruta() / "config/com.ejemplo.Foo.plist";
  const Valor registro(Diccionario{{"build", Valor(42)}, {"veces", Valor(2)}});
  preferencias.escribir("otra", Valor("x"));
  preferencias.escribir("clave", registro);
  EXPECT_EQ(preferencias.leer("clave"), registro);
  EXPECT_EQ(propiedades.leer(leerArchivo(ruta)),
            Valor(Diccionario{{"otra", Valor("x")}, {"clave", registro}}));
  EXPECT_EQ(std::distance(fs::directory_iterator(ruta.parent_path()), fs::directory_iterator()), 1);
  // A damaged file is no record, and is replaced whole (what is damaged: Propiedades_prueba).
  for (const char* contenido : {"", "<plist><array><string>a</string></array></plist>"}) {
    escribirArchivo(ruta, contenido);
    EXPECT_FALSE(preferencias.leer("a")) << contenido;
    preferencias.escribir("b", Valor(true));
    EXPECT_EQ(propiedades.leer(leerArchivo(ruta)), Valor(Diccionario{{"b", Valor(true)}}));
  }
  setenv("XDG_CONFIG_HOME", (t.ruta() / "otra/mas").c_str(), 1);
  EXPECT_FALSE(preferencias.leer("b"));
  preferencias.escribir("b", Valor(2));
  EXPECT_TRUE(fs::exists(t.ruta() / "otra/mas/com.ejemplo.Foo.plist"));
  // Unset, empty or relative: ~/.config.
  setenv("HOME", (t.ruta() / "casa").c_str(), 1);
  for (const char* valor : {static_cast<const char*>(nullptr), "", "relativa"}) {
    valor ? setenv("XDG_CONFIG_HOME", valor, 1) : unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(preferencias.ruta(), t.ruta() / "casa/.config/com.ejemplo.Foo.plist");
  }
}

}  // namespace
}  // namespace ovelmar
