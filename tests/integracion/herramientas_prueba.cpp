// The stand-ins for the macOS tools, run as real programs on real folders.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Esperar.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using pruebas::CarpetaTemporal;
using pruebas::escribirArchivo;

std::string herramienta(const std::string& nombre) {
  return std::string(OVELMAR_ARBOL) + "/Ovelmar.bundle/Contents/Resources/bin/" + nombre;
}

// The tool's exit status; -1 when it could not start.
int correr(const std::string& programa, const std::vector<std::string>& argumentos) {
  ProcesosLinux procesos;
  auto r = procesos.ejecutar(programa, argumentos);
  return std::holds_alternative<int>(r) ? std::get<int>(r) : -1;
}

const char* const kCuarentena = "user.com.apple.quarantine";

void marcar(const fs::path& ruta, const char* nombre = kCuarentena) {
  ASSERT_EQ(lsetxattr(ruta.c_str(), nombre, "1", 1, 0), 0) << ruta;
}
bool tiene(const fs::path& ruta, const char* nombre = kCuarentena) {
  return lgetxattr(ruta.c_str(), nombre, nullptr, 0) >= 0;
}

std::string leer(const fs::path& ruta) {
  std::ifstream f(ruta, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

mode_t modo(const fs::path& ruta) {
  struct stat st {};
  lstat(ruta.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(Xattr, QuitaLaCuarentenaDelArbolSinSeguirEnlaces) {
  CarpetaTemporal t;
  const fs::path app = t.ruta() / "X.app";
  const fs::path fuera = t.ruta() / "fuera";
  escribirArchivo(app / "Contents/MacOS/x", "#!/bin/sh\n");
  escribirArchivo(app / "Contents/Resources/a b/c", "c");
  escribirArchivo(fuera / "secreto", "s");
  fs::create_symlink(fuera / "secreto", app / "Contents/enlace-a-archivo");
  fs::create_directory_symlink(fuera, app / "Contents/enlace-a-carpeta");
  for (const fs::path& p : {app, app / "Contents", app / "Contents/MacOS/x",
                            app / "Contents/Resources/a b/c", fuera, fuera / "secreto"})
    marcar(p);
  marcar(app / "Contents/MacOS/x", "user.otro");

  ASSERT_EQ(correr(herramienta("xattr"), {"-dr", "com.apple.quarantine", app.string()}), 0);

  for (const fs::path& p :
       {app, app / "Contents", app / "Contents/MacOS/x", app / "Contents/Resources/a b/c"})
    EXPECT_FALSE(tiene(p)) << p;
  EXPECT_TRUE(tiene(app / "Contents/MacOS/x", "user.otro"));
  // What the links point at lies outside the bundle and keeps its attribute.
  EXPECT_TRUE(tiene(fuera));
  EXPECT_TRUE(tiene(fuera / "secreto"));
  // Run again: nothing left to remove is not an error.
  EXPECT_EQ(correr(herramienta("xattr"), {"-dr", "com.apple.quarantine", app.string()}), 0);
}

TEST(Xattr, EstadoDeSalida) {
  CarpetaTemporal t;
  escribirArchivo(t.ruta() / "f", "x");
  marcar(t.ruta() / "f");
  const std::string f = (t.ruta() / "f").string();
  struct Caso {
    const char* nombre;
    std::vector<std::string> argumentos;
    bool bien;
  };
  const Caso casos[] = {
      {"without -r, one file", {"-d", "com.apple.quarantine", f}, true},
      {"flags apart", {"-r", "-d", "com.apple.quarantine", f}, true},
      {"missing path", {"-dr", "com.apple.quarantine", (t.ruta() / "no").string()}, false},
      {"no path", {"-dr", "com.apple.quarantine"}, false},
      {"no arguments", {}, false},
      {"no -d", {"-r", "com.apple.quarantine", f}, false},
      {"unknown flag", {"-dz", "com.apple.quarantine", f}, false},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    int estado = correr(herramienta("xattr"), c.argumentos);
    if (c.bien)
      EXPECT_EQ(estado, 0);
    else
      EXPECT_GT(estado, 0);
  }
  EXPECT_FALSE(tiene(t.ruta() / "f"));
}

TEST(Ditto, CopiaConModosEnlacesYAtributos) {
  CarpetaTemporal t;
  const fs::path de = t.ruta() / "De.app";
  escribirArchivo(de / "Contents/MacOS/x", "programa");
  escribirArchivo(de / "Contents/Resources/privado/datos", "datos");
  fs::permissions(de / "Contents/MacOS/x", fs::perms(0750));
  fs::permissions(de / "Contents/Resources/privado", fs::perms(0700));
  fs::create_symlink("MacOS/x", de / "Contents/enlace");
  marcar(de / "Contents/MacOS/x", "user.com.ejemplo");
  marcar(de / "Contents", "user.com.ejemplo");

  const fs::path a = t.ruta() / "nueva/A.app";  // its parent does not exist either
  ASSERT_EQ(correr(herramienta("ditto"), {de.string(), a.string()}), 0);

  EXPECT_EQ(leer(a / "Contents/MacOS/x"), "programa");
  EXPECT_EQ(leer(a / "Contents/Resources/privado/datos"), "datos");
  EXPECT_EQ(modo(a / "Contents/MacOS/x"), 0750u);
  EXPECT_EQ(modo(a / "Contents/Resources/privado"), 0700u);
  ASSERT_TRUE(fs::is_symlink(a / "Contents/enlace"));
  EXPECT_EQ(fs::read_symlink(a / "Contents/enlace"), "MacOS/x");
  EXPECT_TRUE(tiene(a / "Contents/MacOS/x", "user.com.ejemplo"));
  EXPECT_TRUE(tiene(a / "Contents", "user.com.ejemplo"));
}

TEST(Ditto, FundeUnaCarpetaEnOtraExistenteSinEscribirAtravesDeEnlaces) {
  CarpetaTemporal t;
  const fs::path de = t.ruta() / "de";
  const fs::path a = t.ruta() / "a";
  const fs::path fuera = t.ruta() / "fuera";
  escribirArchivo(de / "comun", "nuevo");
  escribirArchivo(de / "sub/dentro", "nuevo");
  escribirArchivo(a / "comun", "viejo");
  escribirArchivo(a / "solo-en-destino", "se queda");
  escribirArchivo(fuera / "dentro", "intacto");
  fs::create_directory_symlink(fuera, a / "sub");  // where the source has a folder

  ASSERT_EQ(correr(herramienta("ditto"), {de.string(), a.string()}), 0);

  EXPECT_EQ(leer(a / "comun"), "nuevo");
  EXPECT_EQ(leer(a / "solo-en-destino"), "se queda");
  EXPECT_FALSE(fs::is_symlink(a / "sub"));
  EXPECT_EQ(leer(a / "sub/dentro"), "nuevo");
  EXPECT_EQ(leer(fuera / "dentro"), "intacto");
}

TEST(Ditto, ExtraeUnZipReal) {
  CarpetaTemporal t;
  const fs::path origen = t.ruta() / "origen";
  escribirArchivo(origen / "Y.app/Contents/MacOS/y", "#!/bin/sh\n");
  escribirArchivo(origen / "Y.app/Contents/Info.plist", "<plist/>");
  fs::permissions(origen / "Y.app/Contents/MacOS/y", fs::perms(0755));
  fs::permissions(origen / "Y.app/Contents/Info.plist", fs::perms(0600));
  fs::create_symlink("MacOS/y", origen / "Y.app/Contents/enlace");
  escribirArchivo(origen / "__MACOSX/Y.app/._Info.plist", "AppleDouble");
  const fs::path zip = t.ruta() / "y.zip";
  ASSERT_EQ(correr("/bin/sh", {"-c", "cd \"$1\" && zip -q -r -y \"$2\" Y.app __MACOSX", "sh",
                               origen.string(), zip.string()}),
            0);

  const fs::path carpeta = t.ruta() / "sin/crear";
  ASSERT_EQ(correr(herramienta("ditto"), {"-x", "-k", zip.string(), carpeta.string()}), 0);

  EXPECT_EQ(leer(carpeta / "Y.app/Contents/MacOS/y"), "#!/bin/sh\n");
  EXPECT_EQ(modo(carpeta / "Y.app/Contents/MacOS/y"), 0755u);
  EXPECT_EQ(modo(carpeta / "Y.app/Contents/Info.plist"), 0600u);
  ASSERT_TRUE(fs::is_symlink(carpeta / "Y.app/Contents/enlace"));
  EXPECT_EQ(fs::read_symlink(carpeta / "Y.app/Contents/enlace"), "MacOS/y");
  EXPECT_FALSE(fs::exists(carpeta / "__MACOSX"));
}

TEST(Ditto, RechazaEntradasQueSalenDeLaCarpeta) {
  CarpetaTemporal t;
  const fs::path fuera = t.ruta() / "fuera";
  escribirArchivo(fuera / "f", "intacto");
  // Each archive: (name, link target or empty for a file, contents).
  struct Caso {
    const char* nombre;
    std::string entradas;  // Python list of (name, link target or None, data)
    bool rechazado = true;
  };
  const std::string f = (fuera / "f").string();
  const Caso casos[] = {
      {"dot-dot", "[('../fuera/f', None, 'malo')]"},
      {"dot-dot inside", "[('a/../../fuera/f', None, 'malo')]"},
      {"absolute", "[('" + f + "', None, 'malo')]"},
      {"through a planted link to a folder",
       "[('enlace', '" + fuera.string() + "', ''), ('enlace/f', None, 'malo')]"},
      // The later entry replaces the link itself, as any later entry replaces an earlier one.
      {"onto a planted link to a file", "[('enlace', '" + f + "', ''), ('enlace', None, 'nuevo')]",
       false},
  };
  const char* const kGuion =
      "import sys, zipfile, ast\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "  for nombre, destino, datos in ast.literal_eval(sys.argv[2]):\n"
      "    i = zipfile.ZipInfo(nombre)\n"
      "    i.create_system = 3\n"
      "    if destino is None:\n"
      "      i.external_attr = 0o100644 << 16\n"
      "      z.writestr(i, datos)\n"
      "    else:\n"
      "      i.external_attr = 0o120777 << 16\n"
      "      z.writestr(i, destino)\n";
  int n = 0;
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    const fs::path zip = t.ruta() / ("malo" + std::to_string(n) + ".zip");
    const fs::path carpeta = t.ruta() / ("destino" + std::to_string(n++));
    ASSERT_EQ(correr("/usr/bin/env", {"python3", "-c", kGuion, zip.string(), c.entradas}), 0);
    int estado = correr(herramienta("ditto"), {"-x", "-k", zip.string(), carpeta.string()});
    if (c.rechazado) {
      EXPECT_NE(estado, 0);
    } else {
      EXPECT_EQ(estado, 0);
      EXPECT_FALSE(fs::is_symlink(carpeta / "enlace"));
      EXPECT_EQ(leer(carpeta / "enlace"), "nuevo");
    }
    EXPECT_EQ(leer(fuera / "f"), "intacto");
    EXPECT_TRUE(fs::is_regular_file(fuera / "f"));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(fuera), fs::directory_iterator()), 1);
}

TEST(Ditto, ErroresDeUso) {
  CarpetaTemporal t;
  escribirArchivo(t.ruta() / "f", "x");
  const std::string f = (t.ruta() / "f").string();
  const std::vector<std::vector<std::string>> casos = {
      {},
      {f},
      {"-x", f, (t.ruta() / "d").string()},                     // -x without -k
      {"-x", "-k", f},                                          // no folder
      {"-x", "-k", f, (t.ruta() / "d").string()},               // not an archive
      {(t.ruta() / "no").string(), (t.ruta() / "d").string()},  // missing source
  };
  for (const auto& argumentos : casos) {
    SCOPED_TRACE(::testing::PrintToString(argumentos));
    EXPECT_GT(correr(herramienta("ditto"), argumentos), 0);
  }
}

TEST(Open, ArrancaElEjecutableDelPaquete) {
  CarpetaTemporal t;
  const fs::path app = t.ruta() / "Z.app";
  const fs::path marca = t.ruta() / "marca";
  pruebas::crearPaquete(app, pruebas::infoPlist({{"CFBundleExecutable", "z"},
                                                 {"CFBundleIdentifier", "com.ejemplo.z"}}));
  escribirArchivo(app / "Contents/MacOS/z", "#!/bin/sh\necho abierta > '" + marca.string() + "'\n");
  fs::permissions(app / "Contents/MacOS/z", fs::perms(0755));

  ASSERT_EQ(correr(herramienta("open"), {app.string()}), 0);
  EXPECT_TRUE(pruebas::esperarA([&] { return leer(marca) == "abierta\n"; }));

  EXPECT_NE(correr(herramienta("open"), {(t.ruta() / "No.app").string()}), 0);
  EXPECT_NE(correr(herramienta("open"), {}), 0);
}

// A folder of stand-ins for umount and udisksctl that record how they were called.
class Hdiutil : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(bin_);
    setenv("PATH", bin_.c_str(), 1);  // nothing real is ever unmounted here
  }
  void impostor(const std::string& nombre, int estado) {
    escribirArchivo(bin_ / nombre, "#!/bin/sh\necho " + nombre + " \"$@\" >> '" +
                                       registro_.string() + "'\nexit " + std::to_string(estado) +
                                       "\n");
    fs::permissions(bin_ / nombre, fs::perms(0755));
  }
  std::string registro() { return leer(registro_); }

  CarpetaTemporal t_;
  fs::path bin_ = t_.ruta() / "bin";
  fs::path registro_ = t_.ruta() / "registro";
};

TEST_F(Hdiutil, SinUdisksDesmontaConUmount) {
  const fs::path volumen = t_.ruta() / "Volumen X";
  fs::create_directories(volumen);
  impostor("umount", 0);
  EXPECT_EQ(correr(herramienta("hdiutil"), {"detach", volumen.string(), "-quiet"}), 0);
  EXPECT_EQ(registro(), "umount " + volumen.string() + "\n");

  impostor("umount", 32);
  EXPECT_EQ(correr(herramienta("hdiutil"), {"detach", volumen.string(), "-quiet"}), 32);
  EXPECT_GT(correr(herramienta("hdiutil"), {"detach"}), 0);
  EXPECT_GT(correr(herramienta("hdiutil"), {"attach", volumen.string()}), 0);
}

TEST_F(Hdiutil, ConUdisksDesmontaElDispositivo) {
  // Any mount point backed by a device will do: the stand-ins only record the call.
  std::ifstream montajes("/proc/self/mountinfo");
  std::string punto, dispositivo;
  for (std::string linea; std::getline(montajes, linea);) {
    std::istringstream c(linea);
    std::vector<std::string> campos;
    for (std::string x; c >> x;) campos.push_back(x);
    std::size_t guion = 6;
    while (guion < campos.size() && campos[guion] != "-") ++guion;
    if (guion + 2 < campos.size() && campos[guion + 2].starts_with("/dev/") &&
        !campos[guion + 2].starts_with("/dev/loop") && campos[4].find('\\') == std::string::npos) {
      punto = campos[4];
      dispositivo = campos[guion + 2];
    }
  }
  if (punto.empty()) GTEST_SKIP() << "no mount backed by a device here";
  impostor("udisksctl", 0);
  impostor("umount", 0);
  EXPECT_EQ(correr(herramienta("hdiutil"), {"detach", punto, "-quiet"}), 0);
  EXPECT_EQ(registro(), "udisksctl unmount -b " + dispositivo + " --no-user-interaction\n");

  // udisks refusing (or not running) falls back to umount, whose status counts.
  fs::remove(registro_);
  impostor("udisksctl", 1);
  impostor("umount", 5);
  EXPECT_EQ(correr(herramienta("hdiutil"), {"detach", punto, "-quiet"}), 5);
  EXPECT_EQ(registro(), "udisksctl unmount -b " + dispositivo + " --no-user-interaction\numount " +
                            punto + "\n");
}

}  // namespace
}  // namespace ovelmar
