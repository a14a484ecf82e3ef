// The administrator command of the move to Applications, run for real under /bin/sh
// (without elevation) in a temporary folder, with the tools resolved through the tool
// table as the elevated run resolves them.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

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

std::string leerTexto(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// A bundle holding an executable, a symbolic link and a quarantined file.
void crearApp(const fs::path& app, const std::string& version) {
  crearPaquete(app, infoPlist({{"CFBundleVersion", version}}));
  escribirArchivo(app / "Contents/MacOS/Kestra", "#!/bin/sh\nexit 0\n");
  fs::permissions(app / "Contents/MacOS/Kestra", fs::perms(0755));
  fs::create_directories(app / "Contents/Resources");
  fs::create_symlink("../Info.plist", app / "Contents/Resources/enlace");
  escribirArchivo(app / "Contents/Resources/descargado", "x");
  const char q[] = "0081;6553e2a1;Safari;";
  setxattr((app / "Contents/Resources/descargado").c_str(), "user.com.apple.quarantine", q,
           sizeof q - 1, 0);
}

// Everything around one installer whose destination folder and name hold quotes,
// backslashes, spaces and shell syntax.
struct Escena {
  CarpetaTemporal t;
  // Shell syntax that must stay text: running it would create this file.
  fs::path inyectado = t.ruta() / "inyectado";
  fs::path carpeta = t.ruta() / ("Apps 'a' \"b\" \\c $(touch " + inyectado.string() + ")");
  fs::path origen = t.ruta() / "Descargas 'x'\\ \"y\"" / "Kes'tra \"q\" \\z.app";
  PlataformaLinux linux;
  EntornoFijo entorno;
  PaqueteFijo paquete;
  Plataforma p = linux.plataforma();
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};
  fs::path D, N, V;

  Escena() {
    fs::create_directories(carpeta);
    entorno.variables["KESTRAVON_DESTINO"] = carpeta.string();
    paquete.infoFija = Diccionario{{"CFBundleName", "Kes'tra \"q\" \\z"}};
    p.entorno = &entorno;
    p.paquete = &paquete;
    D = instalador.destino();
    N = D.string() + ".nuevo";
    V = D.string() + ".viejo";
    crearApp(origen, "7");
  }
  int correr(const std::optional<std::string>& dueno = {}) {
    auto r = linux.procesos().ejecutar(
        "/bin/sh", {"-c", instalador.ordenDeAdministrador(origen.string(), dueno)});
    EXPECT_TRUE(std::holds_alternative<int>(r));
    return std::holds_alternative<int>(r) ? std::get<int>(r) : -1;
  }
  std::string version() {
    return leerTexto(D / "Contents/Info.plist") == infoPlist({{"CFBundleVersion", "7"}})   ? "7"
           : leerTexto(D / "Contents/Info.plist") == infoPlist({{"CFBundleVersion", "6"}}) ? "6"
           : fs::exists(D)                                                                 ? "?"
                                                                                           : "";
  }
};

TEST(GuionDeAdministrador, HaceLoQueDiceConCualquierRuta) {
  struct Caso {
    const char* caso;
    std::function<void(Escena&)> preparar;
    std::optional<std::string> dueno;
    bool bien;
    const char* queda;  // build at the destination afterwards; "" for nothing
  };
  auto destinoViejo = [](Escena& e) {
    crearApp(e.D, "6");
    escribirArchivo(e.D / "solo-en-la-vieja", "x");
  };
  // /bin/mv that cannot put the new copy into place, but moves everything else.
  auto mvFalla = [](Escena& e) {
    fs::path mv = e.t.ruta() / "mv-falla";
    escribirArchivo(mv, "#!/bin/sh\ncase \"$1\" in *.nuevo) exit 1;; esac\nexec /bin/mv \"$@\"\n");
    fs::permissions(mv, fs::perms(0755));
    e.linux.procesos().establecerHerramienta("/bin/mv", mv.string());
  };
  const Caso casos[] = {
      {"instalación nueva", [](Escena&) {}, {}, true, "7"},
      {"reemplaza la vieja", destinoViejo, {}, true, "7"},
      {"quita restos de otra vez",
       [&](Escena& e) {
         destinoViejo(e);
         crearApp(e.N, "1");
         crearApp(e.V, "2");
       },
       {},
       true,
       "7"},
      {"con dueño (un chown fallido no cuenta)", destinoViejo, "ovelmar-no-existe", true, "7"},
      {"mover la nueva falla: vuelve la vieja",
       [&](Escena& e) {
         destinoViejo(e);
         mvFalla(e);
       },
       {},
       false,
       "6"},
      {"mover la nueva falla sin vieja", mvFalla, {}, false, ""},
      {"la copia falla: la vieja no se toca",
       [&](Escena& e) {
         destinoViejo(e);
         fs::remove_all(e.origen);
       },
       {},
       false,
       "6"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Escena e;
    c.preparar(e);
    EXPECT_EQ(e.correr(c.dueno) == 0, c.bien);
    EXPECT_EQ(e.version(), c.queda);
    EXPECT_FALSE(fs::exists(e.N));
    EXPECT_FALSE(fs::exists(e.V));
    EXPECT_FALSE(fs::exists(e.inyectado));
    if (std::string(c.queda) == "7") {
      EXPECT_FALSE(fs::exists(e.D / "solo-en-la-vieja"));
      struct stat st {};
      ASSERT_EQ(stat((e.D / "Contents/MacOS/Kestra").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0755u);
      EXPECT_EQ(fs::read_symlink(e.D / "Contents/Resources/enlace"), "../Info.plist");
      EXPECT_LT(getxattr((e.D / "Contents/Resources/descargado").c_str(),
                         "user.com.apple.quarantine", nullptr, 0),
                0);
    } else if (std::string(c.queda) == "6") {
      EXPECT_TRUE(fs::exists(e.D / "solo-en-la-vieja"));
    }
  }
}

}  // namespace
}  // namespace ovelmar
