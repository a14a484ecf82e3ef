// Whether the running copy may update itself, over the real file system: links, `.` and
// `..`, case and Unicode normalisation all decide whether it runs from the destination.
// Downloads over the real platform are the fault campaign's.

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

TEST(Actualizacion, PuedeActualizarseConEnlacesYOtraNormalizacion) {
  const std::string nfc = "Caf\xc3\xa9", nfd = "Cafe\xcc\x81";
  // The name in the bundle, the destination folder and where the bundle runs (relative to
  // the test folder; none: the process has no bundle path), and the answer.
  const std::tuple<const char*, std::string, const char*, std::optional<std::string>, bool>
      casos[] = {
          {"destino por un enlace", "Foo", "enlace", "real/Foo.app", true},
          {"la aplicación por un enlace", "Foo", "real", "enlace/Foo.app", true},
          {"con . y ..", "Foo", "real", "otra/./../real/Foo.app", true},
          {"copia con el mismo nombre", "Foo", "real", "otra/Foo.app", false},
          {"mayúsculas distintas", "Foo", "real", "REAL/Foo.app", false},
          {"nombre en otra forma", nfc, "real", "real/" + nfd + ".app", true},
          {"sin paquete", "Foo", "real", std::nullopt, false},
      };
  PlataformaLinux linux;
  for (const auto& [caso, nombre, destino, ruta, puede] : casos) {
    SCOPED_TRACE(caso);
    CarpetaTemporal c;
    PaqueteFijo paquete;
    EntornoFijo entorno;
    Plataforma p = linux.plataforma();
    p.paquete = &paquete, p.entorno = &entorno;
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", nombre}};
    paquete.rutaFija = ruta ? std::optional(c / *ruta) : std::nullopt;
    entorno.variables["KESTRAVON_DESTINO"] = c / destino;
    fs::create_directories(c.ruta() / "real" / (nombre + ".app"));
    fs::create_directories(c.ruta() / "otra" / "Foo.app");
    fs::create_directory_symlink(c.ruta() / "real", c.ruta() / "enlace");
    ReglasDeActualizacion reglas(p);
    Instalador instalador(p, reglas);
    EXPECT_EQ(Actualizador(p, reglas, instalador).puedeActualizarse(), puede);
  }
}

}  // namespace
}  // namespace ovelmar
