// The stand-ins for the macOS tools, run as real programs on real folders.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
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
using pruebas::leerArchivo;

// The status of the program, the tools resolved as the component resolves them; -1 when
// it could not start.
int correr(const std::string& programa, const std::vector<std::string>& argumentos) {
  auto r = ProcesosLinux().ejecutar(programa, argumentos);
  return std::holds_alternative<int>(r) ? std::get<int>(r) : -1;
}

void marcar(const fs::path& ruta, const char* nombre = "user.com.apple.quarantine") {
  ASSERT_EQ(lsetxattr(ruta.c_str(), nombre, "1", 1, 0), 0) << ruta;
}
bool tiene(const fs::path& ruta, const char* nombre = "user.com.apple.quarantine") {
  return lgetxattr(ruta.c_str(), nombre, nullptr, 0) >= 0;
}
unsigned modo(const fs::path& ruta) {
  struct stat st {};
  return lstat(ruta.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(Xattr, QuitaLaCuarentenaDelArbolSinSeguirEnlaces) {
  CarpetaTemporal t;
  const fs::path app = t.ruta() / "X.app", fuera = t.ruta() / "fuera";
  escribirArchivo(app / "Contents/MacOS/x", "#!/bin/sh\n");
  escribirArchivo(app / "Contents/Resources/a b/c", "c");
  escribirArchivo(fuera / "secreto", "s");
  fs::create_symlink(fuera / "secreto", app / "Contents/enlace-a-archivo");
  fs::create_directory_symlink(fuera, app / "Contents/enlace-a-carpeta");
  const fs::path dentro[] = {app, app / "Contents/MacOS/x", app / "Contents/Resources/a b/c"};
  for (const fs::path& p : {dentro[0], dentro[1], dentro[2], fuera, fuera / "secreto"}) marcar(p);
  marcar(app / "Contents/MacOS/x", "user.otro");

  ASSERT_EQ(correr("/usr/bin/xattr", {"-dr", "com.apple.quarantine", app.string()}), 0);
  for (const fs::path& p : dentro) EXPECT_FALSE(tiene(p)) << p;
  EXPECT_TRUE(tiene(app / "Contents/MacOS/x", "user.otro"));
  // What the links point at lies outside the bundle and keeps its attribute.
  EXPECT_TRUE(tiene(fuera));
  EXPECT_TRUE(tiene(fuera / "secreto"));

  const std::pair<std::vector<std::string>, bool> casos[] = {
      {{"-dr", "com.apple.quarantine", app.string()}, true},  // nothing left is no error
      {{"-dr", "com.apple.quarantine", (t.ruta() / "no").string()}, false},
      {{"-r", "com.apple.quarantine", app.string()}, false},
  };
  for (const auto& [argumentos, bien] : casos) {
    SCOPED_TRACE(testing::PrintToString(argumentos));
    const int estado = correr("/usr/bin/xattr", argumentos);
    EXPECT_TRUE(bien ? estado == 0 : estado > 0) << estado;
  }
}

// Plain modes and links are checked where the installer's command runs ditto
// (guion_administrador_prueba.cpp).
TEST(Ditto, CopiaConAtributosYFundeSinEscribirAtravesDeEnlaces) {
  CarpetaTemporal t;
  const fs::path de = t.ruta() / "De.app", a = t.ruta() / "nueva/A.app";
  const fs::path fuera = t.ruta() / "fuera";
  escribirArchivo(de / "Contents/Resources/privado/datos", "datos");
  fs::permissions(de / "Contents/Resources/privado", fs::perms(0700));
  marcar(de / "Contents", "user.com.ejemplo");
  ASSERT_EQ(correr("/usr/bin/ditto", {de.string(), a.string()}), 0);  // its parent is created too
  EXPECT_EQ(modo(a / "Contents/Resources/privado"), 0700u);
  EXPECT_TRUE(tiene(a / "Contents", "user.com.ejemplo"));

  // Onto an existing copy: merged, and a link planted where the source has a folder is
  // replaced, never written through.
  escribirArchivo(fuera / "datos", "intacto");
  fs::remove_all(a / "Contents/Resources/privado");
  fs::create_directory_symlink(fuera, a / "Contents/Resources/privado");
  escribirArchivo(a / "Contents/solo-en-destino", "se queda");
  escribirArchivo(de / "Contents/Resources/privado/datos", "nuevo");
  ASSERT_EQ(correr("/usr/bin/ditto", {de.string(), a.string()}), 0);
  EXPECT_EQ(leerArchivo(a / "Contents/solo-en-destino"), "se queda");
  EXPECT_FALSE(fs::is_symlink(a / "Contents/Resources/privado"));
  EXPECT_EQ(leerArchivo(a / "Contents/Resources/privado/datos"), "nuevo");
  EXPECT_EQ(leerArchivo(fuera / "datos"), "intacto");
}

// A zip archive of the entries (name, link target or None, data, mode), written by Python.
void zip(const fs::path& archivo, const std::string& entradas) {
  const char* const kGuion =
      "import sys, zipfile, ast\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "  for nombre, destino, datos, modo in ast.literal_eval(sys.argv[2]):\n"
      "    i = zipfile.ZipInfo(nombre)\n"
      "    i.create_system = 3\n"
      "    i.external_attr = ((0o120777 if destino else 0o100000 | modo) << 16)\n"
      "    z.writestr(i, destino or datos)\n";
  ASSERT_EQ(correr("/usr/bin/python3", {"-c", kGuion, archivo.string(), entradas}), 0);
}

TEST(Ditto, ExtraeUnZipConModosYEnlacesSinAppleDouble) {
  CarpetaTemporal t;
  const fs::path f = t.ruta() / "fuera", carpeta = t.ruta() / "sin/crear";
  escribirArchivo(f, "intacto");
  // The later "otro" replaces the link itself, as any later entry replaces an earlier one.
  zip(t.ruta() / "y.zip",
      "[('Y.app/Contents/MacOS/y', None, '#!/bin/sh', 0o755),"
      " ('Y.app/Contents/Info.plist', None, '<plist/>', 0o600),"
      " ('Y.app/Contents/enlace', 'MacOS/y', '', 0),"
      " ('__MACOSX/Y.app/._Info.plist', None, 'AppleDouble', 0o644),"
      " ('otro', '" +
          f.string() + "', '', 0), ('otro', None, 'nuevo', 0o644)]");
  ASSERT_EQ(correr("/usr/bin/ditto", {"-x", "-k", (t.ruta() / "y.zip").string(), carpeta.string()}),
            0);
  EXPECT_EQ(leerArchivo(carpeta / "Y.app/Contents/MacOS/y"), "#!/bin/sh");
  EXPECT_EQ(modo(carpeta / "Y.app/Contents/MacOS/y"), 0755u);
  EXPECT_EQ(modo(carpeta / "Y.app/Contents/Info.plist"), 0600u);
  EXPECT_EQ(fs::read_symlink(carpeta / "Y.app/Contents/enlace"), "MacOS/y");
  EXPECT_FALSE(fs::exists(carpeta / "__MACOSX"));
  EXPECT_FALSE(fs::is_symlink(carpeta / "otro"));
  EXPECT_EQ(leerArchivo(carpeta / "otro"), "nuevo");
  EXPECT_EQ(leerArchivo(f), "intacto");
}

TEST(Ditto, RechazaEntradasQueSalenDeLaCarpetaYLoQueNoEsUnZip) {
  CarpetaTemporal t;
  const fs::path fuera = t.ruta() / "fuera", f = fuera / "f";
  escribirArchivo(f, "intacto");
  const std::string casos[] = {
      "[('../fuera/f', None, 'malo', 0o644)]",
      "[('a/../../fuera/f', None, 'malo', 0o644)]",
      "[('" + f.string() + "', None, 'malo', 0o644)]",
      // through a link an earlier entry planted
      "[('enlace', '" + fuera.string() + "', '', 0), ('enlace/f', None, 'malo', 0o644)]",
  };
  int n = 0;
  for (const std::string& entradas : casos) {
    SCOPED_TRACE(entradas);
    const std::string archivo = t / (std::to_string(n) + ".zip"), carpeta = t / std::to_string(n++);
    zip(archivo, entradas);
    EXPECT_NE(correr("/usr/bin/ditto", {"-x", "-k", archivo, carpeta}), 0);
    EXPECT_EQ(leerArchivo(f), "intacto");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(fuera), fs::directory_iterator()), 1);
  EXPECT_GT(correr("/usr/bin/ditto", {"-x", "-k", f.string(), (t.ruta() / "d").string()}), 0);
  EXPECT_GT(correr("/usr/bin/ditto", {(t.ruta() / "no").string(), (t.ruta() / "d").string()}), 0);
}

TEST(Open, ArrancaElEjecutableDelPaquete) {
  CarpetaTemporal t;
  const fs::path app = t.ruta() / "Z.app", marca = t.ruta() / "marca";
  pruebas::crearPaquete(app, pruebas::infoPlist({{"CFBundleExecutable", "z"}}));
  escribirArchivo(app / "Contents/MacOS/z", "#!/bin/sh\necho abierta > '" + marca.string() + "'\n");
  fs::permissions(app / "Contents/MacOS/z", fs::perms(0755));

  ASSERT_EQ(correr("/usr/bin/open", {app.string()}), 0);
  EXPECT_TRUE(pruebas::esperarA([&] { return leerArchivo(marca) == "abierta\n"; }));
  EXPECT_NE(correr("/usr/bin/open", {(t.ruta() / "No.app").string()}), 0);
}

// A mount point backed by a device other than a loop device, and that device; empty when
// there is none. The last mount at a point is the one in effect.
std::pair<std::string, std::string> montajeDeDispositivo() {
  std::ifstream montajes("/proc/self/mounts");
  std::map<std::string, std::string> dispositivos;
  for (std::string dispositivo, punto, resto; montajes >> dispositivo >> punto;) {
    std::getline(montajes, resto);
    dispositivos[punto] = dispositivo;
  }
  for (const auto& [punto, dispositivo] : dispositivos)
    if (dispositivo.starts_with("/dev/") && !dispositivo.starts_with("/dev/loop") &&
        punto.find('\\') == std::string::npos)
      return {punto, dispositivo};
  return {};
}

TEST(Hdiutil, DesmontaConUdisksOConUmount) {
  // Stand-ins for udisksctl and umount that record how they were called: nothing real is
  // ever unmounted here.
  CarpetaTemporal t;
  const fs::path bin = t.ruta() / "bin", registro = t.ruta() / "registro";
  setenv("PATH", bin.c_str(), 1);
  auto impostor = [&](const std::string& nombre, int estado) {
    if (estado < 0) return fs::remove(bin / nombre);
    escribirArchivo(bin / nombre, "#!/bin/sh\necho " + nombre + " \"$@\" >> '" + registro.string() +
                                      "'\nexit " + std::to_string(estado) + "\n");
    fs::permissions(bin / nombre, fs::perms(0755));
    return true;
  };
  const std::string carpeta = (t.ruta() / "Volumen X").string();
  fs::create_directories(carpeta);
  const auto [punto, dispositivo] = montajeDeDispositivo();
  const std::string udisks = "udisksctl unmount -b " + dispositivo + " --no-user-interaction\n";
  struct Caso {
    const char* caso;
    const std::string& volumen;
    int udisksctl, umount;  // the stand-ins' status; -1: not installed
    int estado;
    std::string llamadas;
  };
  const Caso casos[] = {
      {"no udisks", carpeta, -1, 0, 0, "umount " + carpeta + "\n"},
      {"not a mount: umount", carpeta, 0, 0, 0, "umount " + carpeta + "\n"},
      {"a device with udisks", punto, 0, 0, 0, udisks},
      {"udisks refuses: umount", punto, 1, 5, 5, udisks + "umount " + punto + "\n"},
  };
  EXPECT_GT(correr("/usr/bin/hdiutil", {"detach"}), 0);
  EXPECT_GT(correr("/usr/bin/hdiutil", {"attach", carpeta}), 0);
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    if (c.volumen.empty()) GTEST_SKIP() << "no mount backed by a device here";
    fs::remove(registro);
    impostor("udisksctl", c.udisksctl);
    impostor("umount", c.umount);
    EXPECT_EQ(correr("/usr/bin/hdiutil", {"detach", c.volumen, "-quiet"}), c.estado);
    EXPECT_EQ(leerArchivo(registro), c.llamadas);
  }
}

}  // namespace
}  // namespace ovelmar
