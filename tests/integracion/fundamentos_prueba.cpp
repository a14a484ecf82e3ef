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

#include "Ovelmar/ReglasDeActualizacion.hpp"
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

TEST(PaquetePrincipal, LaIdentidadSaleDelInfoPlistDelPaqueteQueRodeaAlEjecutable) {
  CarpetaTemporal t;
  const std::string xml = infoPlist({{"CFBundleIdentifier", "com.ej.Foo"},
                                     {"CFBundleName", "Foo"},
                                     {"CFBundleDisplayName", "Foo Bar"}});
  struct Caso {
    const char* caso;
    std::optional<std::string> info;  // none: no Info.plist at all
    Identidad esperada;
  };
  const Caso casos[] = {
      {"XML", xml, {"com.ej.Foo", "Foo", "Foo Bar"}},
      {"sin Info.plist", std::nullopt, {"", "", ""}},
      {"una lista", "<plist><array><string>x</string></array></plist>", {"", "", ""}},
  };
  int n = 0;
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    fs::path app = t.ruta() / ("Caso" + std::to_string(n++)) / "Foo.app";
    fs::create_directories(app / "Contents" / "MacOS");
    if (c.info) escribirArchivo(app / "Contents" / "Info.plist", *c.info);
    PropiedadesLinux propiedades;
    PaquetePrincipalLinux paquete(propiedades, (app / "Contents/MacOS/foo").string());
    EXPECT_EQ(paquete.ruta(), app.string());
    Plataforma p;
    p.paquete = &paquete;
    ReglasDeActualizacion reglas(p);
    EXPECT_EQ(reglas.identidad(), c.esperada);
  }
}

TEST(PaquetePrincipal, UnEjecutableSueltoNoTieneInformacion) {
  PropiedadesLinux propiedades;
  PaquetePrincipalLinux suelto(propiedades, "/usr/bin/env");
  EXPECT_EQ(suelto.ruta(), "/usr/bin");
  EXPECT_FALSE(suelto.info());
  for (const char* fuera : {"/Contents/MacOS/x", "/a/X.app/Contents/bin/x", "/a/X.app/MacOS/x"})
    EXPECT_EQ(PaquetePrincipalLinux::paqueteDe(fuera), std::nullopt) << fuera;
  EXPECT_EQ(PaquetePrincipalLinux::paqueteDe("/a/X.app/Contents/MacOS/x"), "/a/X.app");
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
      {"en_GB:es", "C.UTF-8", {"en-GB", "es"}},
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
  // A reload that finds no value keeps the last one: those rows come first.
  const std::pair<const char*, const char*> casos[] = {
      {nullptr, "Downloads"},
      {"Bajadas", "Downloads"},  // GLib ignores a relative line: the standard folder stands
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
class VolumenDeSoloLectura : public testing::Test {
 protected:
  void SetUp() override {
    volumen_ = t_.ruta() / "media" / "Nombre 2";
    fs::create_directories(volumen_);
    if (mount("ovelmar", volumen_.c_str(), "tmpfs", 0, "size=1m") != 0)
      GTEST_SKIP() << "this machine does not let the test mount a file system: "
                   << std::strerror(errno);
    montado_ = true;
    crearPaquete(volumen_ / "Nombre.app", infoPlist({{"CFBundleName", "Nombre"}}));
    if (mount(nullptr, volumen_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
      GTEST_SKIP() << "cannot remount read-only: " << std::strerror(errno);
  }
  void TearDown() override {
    if (montado_) umount2(volumen_.c_str(), MNT_DETACH);
  }
  CarpetaTemporal t_;
  fs::path volumen_;
  bool montado_ = false;
};

TEST_F(VolumenDeSoloLectura, SeSabeSiElVolumenEsDeSoloLectura) {
  ArchivosLinux archivos;
  EXPECT_EQ(archivos.soloLectura(volumen_.string()), true);
  EXPECT_EQ(archivos.soloLectura(t_.ruta().string()), false);
  EXPECT_FALSE(archivos.escribible(volumen_.string()));
  ASSERT_EQ(mount(nullptr, volumen_.c_str(), nullptr, MS_REMOUNT, nullptr), 0);
  EXPECT_EQ(archivos.soloLectura(volumen_.string()), false);
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
  EXPECT_FALSE(preferencias.leer("ninguna"));
  EXPECT_EQ(preferencias.ruta(), ruta.string());
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
