// The move to Applications end to end: the demo host, laid out as Kestra.app, installing
// itself from a Downloads folder in test mode.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

const fs::path kArbol = OVELMAR_ARBOL;

TEST(Mover, ElAnfitrionDeEjemploSeInstalaASiMismo) {
  // With the host's application callbacks, and without them (the component then ends the
  // process itself, the output still unflushed).
  for (const char* opcion : {" ", " -s "}) {
    SCOPED_TRACE(opcion);
    CarpetaTemporal t;
    const fs::path carpeta = t.ruta() / "Apli caciones 'x'", D = carpeta / "Kestra.app";
    const fs::path descargas = fs::path(std::getenv("HOME")) / "Downloads";
    const fs::path S = descargas / "sub/Kestra.app";
    fs::create_directories(carpeta);
    fs::create_directories(S.parent_path());
    fs::copy(kArbol / "Kestra.app", S, fs::copy_options::recursive);
    const auto [salida, estado] =
        ejecutarOrden("KESTRAVON_DESTINO=" + entrecomillar(carpeta) + " timeout 60 " +
                      entrecomillar(S / "Contents/MacOS/demo") + opcion +
                      entrecomillar(kArbol / "Ovelmar.bundle") + " instalarSiHaceFalta 2>&1");
    EXPECT_EQ(estado, 0) << salida;
    const std::string propia = "Kestra build 7 is running from " + S.string() + "\n";
    EXPECT_EQ(
        salida.rfind(propia + "instalada en " + D.string() + " desde " + S.string() + "\n", 0),
        0u)
        << salida;  // the lines come first
    EXPECT_NE(salida.find("-> yes"), std::string::npos) << salida;
    EXPECT_EQ(leerArchivo(D / "Contents/Info.plist"),
              leerArchivo(kArbol / "Kestra.app/Contents/Info.plist"));
    EXPECT_FALSE(fs::exists(D.string() + ".nuevo"));
    EXPECT_TRUE(fs::exists(S));  // test mode hands over to nobody, so nothing is trashed
    fs::remove_all(descargas);
  }
}

}  // namespace
}  // namespace ovelmar
