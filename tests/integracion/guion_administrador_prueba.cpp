// The administrator command of the move to Applications, run for real under /bin/sh
// (without elevation) in a temporary folder, with the tools resolved through the tool
// table as the elevated run resolves them.

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <filesystem>

#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

// A bundle holding an executable, a symbolic link and a quarantined file.
void crearApp(const fs::path& app, const std::string& version) {
  crearPaquete(app, infoPlist({{"CFBundleVersion", version}}));
  escribirArchivo(app / "Contents/MacOS/Kestra", "#!/bin/sh\nexit 0\n");
  fs::permissions(app / "Contents/MacOS/Kestra", fs::perms(0755));
  fs::create_symlink("../Info.plist", app / "Contents/enlace");
  escribirArchivo(app / "Contents/descargado", "x");
  setxattr((app / "Contents/descargado").c_str(), "user.com.apple.quarantine", "0081;", 5, 0);
}

// One installer whose destination folder and name hold quotes, backslashes, spaces and
// shell syntax that must stay text: running it would create `inyectado`.
struct Escena {
  CarpetaTemporal t;
  fs::path inyectado = t.ruta() / "inyectado";
  fs::path carpeta = t.ruta() / ("Apps 'a' \"b\" \\c $(touch " + inyectado.string() + ")");
  fs::path origen = t.ruta() / "Descargas 'x'\\ \"y\"" / "Kes'tra \"q\" \\z.app";
  PlataformaLinux linux;
  EntornoFijo entorno;
  PaqueteFijo paquete;
  Plataforma p = linux.plataforma();
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};
  fs::path D;

  Escena() {
    fs::create_directories(carpeta);
    entorno.variables["KESTRAVON_DESTINO"] = carpeta.string();
    paquete.infoFija = Diccionario{{"CFBundleName", "Kes'tra \"q\" \\z"}};
    p.entorno = &entorno;
    p.paquete = &paquete;
    D = instalador.destino();
    crearApp(origen, "7");
  }
  // The build left at the destination: "" for nothing, "?" for something else.
  std::string version() {
    for (std::string v : {"6", "7"})
      if (leerArchivo(D / "Contents/Info.plist") == infoPlist({{"CFBundleVersion", v}})) return v;
    return fs::exists(D) ? "?" : "";
  }
};

TEST(GuionDeAdministrador, HaceLoQueDiceConCualquierRuta) {
  struct Caso {
    const char* caso;
    bool vieja, restos;  // an older copy at the destination; .nuevo and .viejo leftovers
    bool mvFalla;        // /bin/mv cannot put the new copy into place
    bool sinOrigen;
    std::optional<std::string> dueno;
    std::string queda;  // build at the destination afterwards; "7" only on success
  };
  const Caso casos[] = {
      {"instalación nueva", false, false, false, false, std::nullopt, "7"},
      {"reemplaza la vieja y quita restos", true, true, false, false, std::nullopt, "7"},
      {"con dueño (un chown fallido no cuenta)", true, false, false, false, "ovelmar-no", "7"},
      {"mover la nueva falla: vuelve la vieja", true, false, true, false, std::nullopt, "6"},
      {"mover la nueva falla sin vieja", false, false, true, false, std::nullopt, ""},
      {"la copia falla: la vieja no se toca", true, false, false, true, std::nullopt, "6"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Escena e;
    if (c.vieja) {
      crearApp(e.D, "6");
      escribirArchivo(e.D / "solo-en-la-vieja", "x");
    }
    for (const char* resto : {".nuevo", ".viejo"})
      if (c.restos) crearApp(e.D.string() + resto, "1");
    if (c.sinOrigen) fs::remove_all(e.origen);
    if (c.mvFalla) {
      const fs::path mv = e.t.ruta() / "mv-falla";
      escribirArchivo(mv,
                      "#!/bin/sh\ncase \"$1\" in *.nuevo) exit 1;; esac\nexec /bin/mv \"$@\"\n");
      fs::permissions(mv, fs::perms(0755));
      e.linux.procesos().establecerHerramienta("/bin/mv", mv.string());
    }
    auto r = e.linux.procesos().ejecutar(
        "/bin/sh", {"-c", e.instalador.ordenDeAdministrador(e.origen.string(), c.dueno)});
    ASSERT_TRUE(std::holds_alternative<int>(r));
    EXPECT_EQ(std::get<int>(r) == 0, c.queda == "7");
    EXPECT_EQ(e.version(), c.queda);
    EXPECT_FALSE(fs::exists(e.D.string() + ".nuevo"));
    EXPECT_FALSE(fs::exists(e.D.string() + ".viejo"));
    EXPECT_FALSE(fs::exists(e.inyectado));
    EXPECT_EQ(fs::exists(e.D / "solo-en-la-vieja"), c.queda == "6");
    if (c.queda == "7") {
      EXPECT_EQ(fs::status(e.D / "Contents/MacOS/Kestra").permissions(), fs::perms(0755));
      EXPECT_EQ(fs::read_symlink(e.D / "Contents/enlace"), "../Info.plist");
      EXPECT_LT(
          getxattr((e.D / "Contents/descargado").c_str(), "user.com.apple.quarantine", nullptr, 0),
          0);
    }
  }
}

}  // namespace
}  // namespace ovelmar
