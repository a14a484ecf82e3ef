// The stand-ins for the macOS tools, run as real programs on real folders.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using pruebas::CarpetaTemporal;
using pruebas::escribirArchivo;
using pruebas::leerArchivo;
using pruebas::zip;

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
}

// Plain modes and links are checked where the installer's command runs ditto
// (guiones_prueba.cpp).
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
  EXPECT_GT(correr("/usr/bin/ditto", {(t.ruta() / "no").string(), (t.ruta() / "d").string()}), 0);
}

// Everything below the folder: "-> target" for a link, the mode and the content for a file,
// the mode and "/" for a folder; folders of the usual 0755 show through what they hold.
std::map<std::string, std::string> arbol(const fs::path& carpeta) {
  std::map<std::string, std::string> r;
  for (const auto& e : fs::recursive_directory_iterator(carpeta)) {
    char m[8];
    std::snprintf(m, sizeof m, "%04o", modo(e.path()));
    const std::string ruta = e.path().lexically_relative(carpeta).string();
    if (e.is_symlink())
      r[ruta] = "-> " + fs::read_symlink(e.path()).string();
    else if (e.is_directory() && std::string(m) != "0755")
      r[ruta] = std::string(m) + "/";
    else if (!e.is_directory())
      r[ruta] = std::string(m) + " " + leerArchivo(e.path());
  }
  return r;
}

TEST(Ditto, ExtraeSoloLoQueQuedaDentroDeLaCarpeta) {
  CarpetaTemporal t;
  const std::uint64_t k3GiB = 3ull << 30;
  const std::string ceros(12 << 20, '\0');
  struct Caso {
    const char* caso;
    std::string archivo;
    std::map<std::string, std::string> arbol;  // what is left; empty for a refusal
    const char* porque = "";                   // in the refusal
    bool carpetaExiste = false;  // holding "previo", "a/previo" and a "c" that is replaced
  };
  const std::string mentira =
      zip({{"a/b", "b"}, {"c", "c"}, {"d", ceros, 0100644, (8 << 20) + 1, true}});
  // The campaign's hostile archives carry the refusals whose only effect is the failure.
  const Caso casos[] = {
      {"a bundle with framework links, set-id bits and AppleDouble files",
       zip({{"Foo.app/Contents/MacOS/foo", "#!/bin/sh", 0106755},
            {"Foo.app/Contents/Info.plist", "<plist/>", 0100600, 0, true},
            {"X.framework/Versions/A/X", "x"},
            {"X.framework/Versions/Current", "A", 0120777},
            {"X.framework/X", "Versions/Current/X", 0120777},
            {"X.framework/Resources/", "", 043777},
            {"__MACOSX/Foo.app/._Info.plist", "AppleDouble"}}),
       {{"Foo.app/Contents/MacOS/foo", "0755 #!/bin/sh"},
        {"Foo.app/Contents/Info.plist", "0600 <plist/>"},
        {"X.framework/Versions/A/X", "0644 x"},
        {"X.framework/Versions/Current", "-> A"},
        {"X.framework/X", "-> Versions/Current/X"},
        {"X.framework/Resources", "0777/"}}},
      {"names as stored, under LANG=C",
       zip({{"日本語/ファイル", "j"},
            {"Привет/мир", "r"},
            {"cafe\xcc\x81", "d"},
            {"caf\xc3\xa9", "c"}}),
       {{"日本語/ファイル", "0644 j"},
        {"Привет/мир", "0644 r"},
        {"cafe\xcc\x81", "0644 d"},
        {"caf\xc3\xa9", "0644 c"}}},
      {"loop of links", zip({{"a", "b", 0120777}, {"b", "a", 0120777}}), {}, "link loop"},
      {"entry through a link",
       zip({{"l", "d", 0120777}, {"d/", "", 040755}, {"l/f", "f"}}),
       {},
       "through a link"},
      {"a link in place of a folder already holding entries",
       zip({{"d/f", "f"}, {"e/", "", 040755}, {"d", "e", 0120777}}),
       {},
       "through a link"},
      // Named with a terminal escape, which the message shows harmless.
      {"..", zip({{"a/../../f\x1b]0;x", "f"}}), {}, "outside the folder: a/../../f?]0;x\n"},
      {"empty name", zip({{"", "f"}}), {}, "bad entry name"},
      {"declared 6 GiB",
       zip({{"a", "a", 0100644, k3GiB, true}, {"b", "b", 0100644, k3GiB, true}}),
       {},
       "more than 4294967296 bytes"},
      {"declared 200,001 entries", zip({{"a", "a"}}, 200001), {}, "more than 200000 entries"},
      {"inflates past its size",
       zip({{"a/b", "b"}, {"c", ceros.substr(0, 1 << 20), 0100644, 1024, true}}),
       {},
       "longer than the archive says"},
      // The shell limits each file to 9 MiB: writing past the declared size would kill it.
      {"inflates past 8 MiB", mentira, {}, "longer than the archive says"},
      {"inflates past, into a folder that exists",
       mentira,
       {{"previo", "0644 p"}, {"a/previo", "0644 p"}},
       "longer than the archive says",
       true},
      {"not a zip", "PK not really", {}, "not a zip archive"},
  };
  const std::string ditto = OVELMAR_ARBOL "/Ovelmar.bundle/Contents/Resources/bin/ditto";
  int n = 0;
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    const fs::path archivo = t.ruta() / (std::to_string(n) + ".zip");
    const fs::path padre = t.ruta() / std::to_string(n++), carpeta = padre / "sin/crear";
    escribirArchivo(archivo, c.archivo);
    if (c.carpetaExiste)
      for (const char* previo : {"previo", "a/previo", "c"}) escribirArchivo(carpeta / previo, "p");
    const auto r =
        pruebas::ejecutarOrden("ulimit -f 18432; LANG=C LC_ALL=C exec '" + ditto + "' -x -k '" +
                               archivo.string() + "' '" + carpeta.string() + "' 2>&1");
    ASSERT_TRUE(WIFEXITED(r.estado)) << r.estado;
    EXPECT_EQ(WEXITSTATUS(r.estado), *c.porque ? 1 : 0) << r.texto;
    EXPECT_NE(r.texto.find(c.porque), std::string::npos) << r.texto;
    if (c.arbol.empty())
      EXPECT_FALSE(fs::exists(padre / "sin"));  // not even the folder it made
    else
      EXPECT_EQ(arbol(carpeta), c.arbol);
  }
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
