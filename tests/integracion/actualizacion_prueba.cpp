// The updater over the real platform: HTTPS downloads from a local server through the
// libcurl session, real files, and the demo host.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <tuple>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/RedLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"
#include "comun/Esperar.hpp"
#include "comun/ServidorHttps.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

const std::string kSha(64, 'a');

Diccionario pedido(const std::string& url, std::int64_t build, std::int64_t tamano) {
  return {{"url", Valor(url)},
          {"sha256", Valor(kSha)},
          {"build", Valor(build)},
          {"tamano", Valor(tamano)}};
}

Diccionario comprobando(std::int64_t build, std::int64_t tamano) {
  return {{"fase", Valor("comprobando")},
          {"progreso", Valor(1)},
          {"bajado", Valor(tamano)},
          {"total", Valor(tamano)},
          {"build", Valor(build)}};
}

Diccionario fallo(const char* motivo, std::int64_t build) {
  return {{"fase", Valor("fallo")}, {"motivo", Valor(motivo)}, {"build", Valor(build)}};
}

// The application Foo, installed in a folder of the test, with a real platform around it.
struct Banco {
  explicit Banco(const std::string& nombre = "Foo") {
    fs::create_directories(carpeta.ruta() / "Aplicaciones");
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", nombre}};
    paquete.rutaFija = carpeta / ("Aplicaciones/" + nombre + ".app");
    entorno.variables["KESTRAVON_DESTINO"] = carpeta / "Aplicaciones";
    carpetas.cachesFija = carpeta / "cache";
    p.paquete = &paquete;
    p.entorno = &entorno;
    p.carpetas = &carpetas;
    p.colaGlobal = &global;  // the download alone: verification waits, the archive stays
    linux.red().confiarEn(servidor.ca());
  }

  fs::path descargas() const { return act.carpeta(); }
  // Runs the main queue until the download is over (bounded), then lets the session go.
  void esperarFinDeDescarga() {
    esperarA([&] {
      p.colaPrincipal->correrDurante(0.05);
      const Diccionario estado = act.estado();
      return *textoDe(estado, "fase") != "descargando";
    });
    p.colaPrincipal->correrDurante(0.05);
  }
  std::string publicar(const std::string& ruta, const Recurso& r) {
    servidor.publicar(ruta, r);
    return servidor.url(ruta);
  }

  CarpetaTemporal carpeta;
  ServidorHttps servidor{carpeta.ruta()};
  PlataformaLinux linux;
  PaqueteFijo paquete;
  EntornoFijo entorno;
  CarpetasFijas carpetas;  // a cache folder of this test's own
  ColaGlobalManual global;
  Plataforma p = linux.plataforma();
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};
  Actualizador act{p, reglas, instalador};
};

// A download cut short leaves resume data; the next request resumes from it and the archive
// is identical. Each start sweeps what other builds left in the folder.
TEST(Actualizacion, BarreLoDeOtrosBuildsYTrasUnCorteReanudaHastaComprobando) {
  Banco b;
  const std::string cuerpo = bytesAlAzar(2 * 1024 * 1024 + 17, 11);
  const auto tamano = static_cast<std::int64_t>(cuerpo.size());
  const std::string url = b.publicar("/Foo-42.zip", {.cuerpo = cuerpo, .cortarTras = 700 * 1024});
  const fs::path d = b.descargas();
  for (const char* n :
       {"Foo-41.zip", "Foo-41.reanudar", "Foo-420.zip", ".oculto", "Foo-42/Foo.app/x"})
    escribirArchivo(d / n, "viejo");

  ASSERT_TRUE(b.act.empezar(pedido(url, 42, tamano)));
  b.esperarFinDeDescarga();
  EXPECT_EQ(b.act.estado(), fallo("red", 42));
  EXPECT_TRUE(fs::exists(d / "Foo-42.reanudar"));
  EXPECT_FALSE(fs::exists(d / "Foo-42.zip"));

  ASSERT_TRUE(b.act.empezar(pedido(url, 42, tamano)));
  EXPECT_FALSE(fs::exists(d / "Foo-42.reanudar"));  // used once
  b.esperarFinDeDescarga();
  EXPECT_EQ(b.act.estado(), comprobando(42, tamano));
  EXPECT_EQ(leerArchivo(d / "Foo-42.zip"), cuerpo);
  std::set<std::string> quedan;
  for (const auto& e : fs::directory_iterator(d)) quedan.insert(e.path().filename().string());
  EXPECT_EQ(quedan, std::set<std::string>{"Foo-42.zip"});  // no partial file left either
  std::vector<Peticion> peticiones = b.servidor.peticiones();
  ASSERT_EQ(peticiones.size(), 2u);
  EXPECT_EQ(peticiones[1].cabeceras["range"], "bytes=" + std::to_string(700 * 1024) + "-");
}

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
  for (const auto& [caso, nombre, destino, ruta, puede] : casos) {
    SCOPED_TRACE(caso);
    Banco b(nombre);
    fs::create_directories(b.carpeta.ruta() / "real" / (nombre + ".app"));
    fs::create_directories(b.carpeta.ruta() / "otra" / "Foo.app");
    fs::create_directory_symlink(b.carpeta.ruta() / "real", b.carpeta.ruta() / "enlace");
    b.entorno.variables["KESTRAVON_DESTINO"] = b.carpeta / destino;
    b.paquete.rutaFija = ruta ? std::optional(b.carpeta / *ruta) : std::nullopt;
    EXPECT_EQ(b.act.puedeActualizarse(), puede);
  }
}

}  // namespace
}  // namespace ovelmar
