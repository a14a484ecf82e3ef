// The maker's publishing tool, run as a program on bundles signed by a throw-away authority.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "comun/AutoridadDePrueba.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "herramientas/desempaquetado/Desempaquetador.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

// Foo.app, build 2, with a framework link, an executable, a private file and a name
// beyond ASCII; signed.
void hacerApp(const fs::path& app, const std::string& nombre = "Foo") {
  fs::remove_all(app);
  escribirArchivo(app / "Contents/Info.plist", infoPlist({{"CFBundleIdentifier", "com.ej.Foo"},
                                                          {"CFBundleName", nombre},
                                                          {"CFBundleVersion", "2"}}));
  escribirArchivo(app / "Contents/MacOS/Foo", "#!/bin/sh\n");
  escribirArchivo(app / "Contents/Frameworks/B.framework/Versions/A/B", "b");
  fs::create_directory_symlink("A", app / "Contents/Frameworks/B.framework/Versions/Current");
  escribirArchivo(app / "Contents/Resources/privado", "p");
  escribirArchivo(app / "Contents/Resources/ñandú", "n");  // names go byte for byte
  fs::permissions(app / "Contents/MacOS/Foo", fs::perms(0755));
  fs::permissions(app / "Contents/Resources/privado", fs::perms(0600));
  ASSERT_EQ(autoridad().firmarYNotarizar(app, kEquipo), "");
}

TEST(Publicar, ArchivaFirmaYDescribeLaActualizacionOLaRechaza) {
  CarpetaTemporal t;
  escribirArchivo(t / "raiz.pem", autoridad().raiz());
  ejecutarOrden("openssl genpkey -algorithm ed25519 -out '" + t / "ed.pem" + "'" +
                " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" +
                t / "ec.pem" + "'");
  const std::string programa = std::string(OVELMAR_ARBOL) + "/herramientas/publicar";
  struct Caso {
    const char* caso;
    std::function<void(const fs::path&)> preparar;  // the bundle at Foo.app
    std::string opciones, salida, error;            // error: a part of the one stderr line
  };
  const std::vector<Caso> casos = {
      {"bueno", {}, "--clave-ed25519 ed.pem", "sub/salida", ""},
      {"sin firmar", [](const fs::path& app) { fs::remove_all(app / "Contents/_CodeSignature"); },
       "", "salida", "is not signed"},
      {"cambiada tras firmar",
       [](const fs::path& app) { escribirArchivo(app / "Contents/Resources/nuevo", "x"); }, "",
       "salida", "fails the updater's signature check"},
      {"mal nombre", [&](const fs::path& app) { hacerApp(app, "Bar"); }, "", "salida",
       "looks for Bar.app"},
      {"no es paquete", [](const fs::path& app) { fs::remove(app / "Contents/Info.plist"); }, "",
       "salida", "is not an application bundle"},
      {"clave que no es Ed25519", {}, "--clave-ed25519 ec.pem", "salida", "not an Ed25519 key"},
      {"clave ilegible", {}, "--clave-ed25519 no.pem", "salida", "cannot read the Ed25519 key"},
      {"salida bajo un archivo", {}, "", "raiz.pem/salida", "cannot write to the folder"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    const fs::path app = t.ruta() / "Foo.app", salida = t.ruta() / c.salida;
    fs::remove_all(t.ruta() / "salida");
    hacerApp(app);
    if (c.preparar) c.preparar(app);
    const auto [texto, estado] =
        ejecutarOrden("cd '" + t.ruta().string() + "' && " + programa +
                      " --url-base https://ej.com/a/ --raiz raiz.pem " + c.opciones + " Foo.app " +
                      c.salida + " 2>&1 >/dev/null");
    if (!c.error.empty()) {
      EXPECT_NE(estado, 0);
      EXPECT_TRUE(texto.starts_with("publicar: ") && texto.find(c.error) != std::string::npos &&
                  texto.find('\n') == texto.size() - 1)
          << texto;
      EXPECT_FALSE(fs::exists(salida / "Foo-2.zip"));
      continue;
    }
    ASSERT_EQ(estado, 0) << texto;
    const fs::path zip = salida / "Foo-2.zip";
    // Ed25519 signs alike every time: openssl's signature over the digest's bytes is the one.
    const std::string sha = ejecutarOrden("sha256sum '" + zip.string() + "'").texto.substr(0, 64);
    // pkeyutl signs Ed25519 in one go, so it reads the digest from a file, not a pipe.
    const std::string resumen = t / "resumen",
                      firma = ejecutarOrden("openssl dgst -sha256 -binary -out '" + resumen +
                                            "' '" + zip.string() +
                                            "' && openssl pkeyutl -sign -rawin -inkey '" +
                                            t / "ed.pem" + "' -in '" + resumen + "' | base64 -w0")
                                  .texto;
    EXPECT_EQ(PropiedadesLinux().leer(leerArchivo(salida / "Foo-2.plist")).value_or(Valor()),
              Valor(Diccionario{{"url", "https://ej.com/a/Foo-2.zip"},
                                {"sha256", sha},
                                {"build", 2},
                                {"tamano", static_cast<std::int64_t>(fs::file_size(zip))},
                                {"firmaDelArchivo", firma}}));
    EXPECT_NE(leerArchivo(salida / "Foo-2.json").find("\"sha256\": \"" + sha), std::string::npos);
    // The archive as the updater unpacks it: the bundle folder on top, nothing added.
    EXPECT_EQ(ejecutarOrden("unzip -Z1 '" + zip.string() + "' | grep -cv '^Foo.app/'").texto,
              "0\n");
    ASSERT_EQ(Desempaquetador().desempaquetar(zip, t / "x"), std::nullopt);
    const fs::path copia = t.ruta() / "x/Foo.app";
    EXPECT_EQ(fs::read_symlink(copia / "Contents/Frameworks/B.framework/Versions/Current"), "A");
    EXPECT_EQ(fs::status(copia / "Contents/Resources/privado").permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(copia / "Contents/MacOS/Foo").permissions(), fs::perms(0755));
  }
}

}  // namespace
}  // namespace ovelmar
