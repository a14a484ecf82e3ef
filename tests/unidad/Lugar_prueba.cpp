// Where the application belongs and whether the running copy must move.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/Rutas.hpp"
#include "unidad/PlataformaDeDobles.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

struct Lugar : testing::Test, PlataformaDeDobles {
  Lugar() {
    paquete.infoFija =
        Diccionario{{"CFBundleName", "Nombre"}, {"CFBundleIdentifier", "com.ej.Nombre"}};
    carpetas.descargasFija = "/Users/ana/Downloads";
  }
  Instalador instalador() { return Instalador(p, reglas); }
  ReglasDeActualizacion reglas{p};
};

TEST_F(Lugar, ElDestinoYElModoDePruebaSalenDeLaVariable) {
  struct Caso {
    const char* caso;
    std::optional<std::string> valor;
    bool prueba;
    std::string dir;
  };
  const Caso casos[] = {
      {"ausente", std::nullopt, false, "/Applications"},
      {"vacía", "", false, "/Applications"},
      {"una ruta", "/tmp/prueba", true, "/tmp/prueba"},
      {"sin expandir", "~/Apps/", true, fs::current_path() / "~/Apps/"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    entorno.variables.clear();
    if (c.valor) entorno.variables["KESTRAVON_DESTINO"] = *c.valor;
    Instalador i = instalador();
    EXPECT_EQ(i.modoPrueba(), c.prueba);
    EXPECT_EQ(i.destino(), rutas::unir(c.dir, "Nombre.app"));
    entorno.variables["KESTRAVON_DESTINO"] = "/otra";  // fixed at the first use
    EXPECT_EQ(i.destinoDir(), c.dir);
  }
}

TEST_F(Lugar, DescargasEsTodoLoQueCuelgaDeLaCarpetaResueltaPeroNoElla) {
  carpetas.descargasFija = "/Users/ana/Enlace";
  archivos.enlaces["/Users/ana/Enlace"] = "/Users/ana/Downloads";
  // The path asked about is taken as given: not resolved.
  archivos.enlaces["/Users/ana/Enlace/App.app"] = "/Users/ana/Downloads/App.app";
  const std::pair<const char*, bool> casos[] = {
      {"/Users/ana/Downloads/App.app", true},  {"/Users/ana/Downloads", false},
      {"/Users/ana/Downloads/", false},        {"/Users/ana/Downloads//", false},
      {"/Users/ana/Downloads/App.app/", true}, {"/Users/ana/Downloads2/App.app", false},
      {"/Users/ana/Enlace/App.app", false},
  };
  Instalador i = instalador();
  for (const auto& [ruta, esperado] : casos) EXPECT_EQ(i.esDescargas(ruta), esperado) << ruta;
  carpetas.descargasFija.reset();
  EXPECT_FALSE(i.esDescargas("/Users/ana/Downloads/App.app"));
}

TEST_F(Lugar, ElVolumenDelDiscoSoloSiEsDeSoloLecturaYLlevaElNombre) {
  archivos.soloLecturas = {{"/Volumes/Nombre", true},
                           {"/Volumes/Nombre 2.1", true},
                           {"/Volumes/Otro", true},
                           {"/Volumes/NombreEscribible", false},
                           {"/media/ana/Nombre", true}};
  carpetas.raices = {"/media/ana/", "/run/media/ana/"};
  struct Caso {
    const char* ruta;
    std::optional<std::string> volumen;
  };
  const Caso casos[] = {
      {"/Volumes/Nombre 2.1/Nombre.app", "/Volumes/Nombre 2.1"},
      {"/Volumes/Nombre", "/Volumes/Nombre"},
      {"/Volumes/NombreEscribible/Nombre.app", std::nullopt},
      {"/Volumes/Otro/Nombre.app", std::nullopt},
      {"/Volumes/Desconocido/Nombre.app", std::nullopt},
      {"/Volumes/", std::nullopt},
      {"/Users/ana/Nombre.app", std::nullopt},
      {"/media/ana/Nombre/Nombre.app", "/media/ana/Nombre"},
      {"/run/media/ana/Nombre/Nombre.app", std::nullopt},  // its state is unknown
  };
  Instalador i = instalador();
  for (const Caso& c : casos) EXPECT_EQ(i.volumenDelDMG(c.ruta), c.volumen) << c.ruta;
  paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Nombre"}};  // no visible name
  ReglasDeActualizacion sinNombre(p);
  EXPECT_EQ(Instalador(p, sinNombre).volumenDelDMG("/Volumes/Nombre/Nombre.app"), std::nullopt);
}

TEST_F(Lugar, HayQueMoverDesdeVolumenesDescargasYCopiasTrasladadas) {
  carpetas.raices = {"/media/ana/"};
  struct Caso {
    const char* original;
    const char* actual;
    bool mover;
  };
  const Caso casos[] = {
      {"/Volumes/Copia/Aplicaciones/Nombre.app", "/Volumes/Copia/Aplicaciones/Nombre.app", true},
      {"/media/ana/Copia/Nombre.app", "/media/ana/Copia/Nombre.app", true},
      {"/Applications/Otro nombre.app", "/Applications/Otro nombre.app", false},
      {"/Applications/./Nombre.app", "/x/AppTranslocation/y/Nombre.app", false},
      {"/Applications/../Applications/Nombre.app", "/Applications/Nombre.app", false},
      {"/Users/ana/Desktop/Nombre.app", "/Users/ana/Desktop/Nombre.app", false},
      {"/Users/ana/Downloads/Nombre.app", "/Users/ana/Downloads/Nombre.app", true},
      {"/private/var/folders/AppTranslocation/X/d/Nombre.app",
       "/private/var/folders/AppTranslocation/X/d/Nombre.app", true},
  };
  Instalador i = instalador();
  for (const Caso& c : casos) EXPECT_EQ(i.hayQueMover(c.original, c.actual), c.mover) << c.original;
  // The folder of the variable counts as the destination folder as well.
  entorno.variables["KESTRAVON_DESTINO"] = "/tmp/prueba/";
  EXPECT_FALSE(instalador().hayQueMover("/tmp/prueba/Nombre.app", "/Volumes/X/Nombre.app"));
}

// Stands in for the Security library's lookup: answers from a table.
std::map<std::string, std::string> originales;
char* buscarOriginal(const char* ruta, void** error) {
  EXPECT_EQ(error, nullptr);
  auto it = originales.find(ruta);
  return it == originales.end() ? nullptr : strdup(it->second.c_str());
}

TEST_F(Lugar, LaRutaOriginalDeUnaCopiaTrasladada) {
  const std::string trasladada = "/private/var/AppTranslocation/1234/d/Nombre.app";
  originales = {{trasladada, "/Apps/Nombre.app"}};
  archivos.enlaces["/Apps/Nombre.app"] = "/Applications/Nombre.app";
  carga.simbolos["SecTranslocateCreateOriginalPathForURL"] =
      reinterpret_cast<void*>(&buscarOriginal);

  Instalador i = instalador();
  // Not translocated: the library is not even loaded.
  EXPECT_EQ(i.rutaOriginal("/Users/ana/Nombre.app"), "/Users/ana/Nombre.app");
  EXPECT_TRUE(carga.abiertas.empty());
  // Without the library or the function, the copy is its own original.
  EXPECT_EQ(i.rutaOriginal(trasladada), trasladada);
  EXPECT_EQ(carga.abiertas,
            std::vector<std::string>{"/System/Library/Frameworks/Security.framework/Security"});
  carga.hayBiblioteca = true;
  // Found: its links resolved.
  EXPECT_EQ(i.rutaOriginal(trasladada), "/Applications/Nombre.app");
  // The lookup finds nothing: unchanged, and such a copy must move.
  const std::string perdida = "/private/var/AppTranslocation/9/d/Nombre.app";
  EXPECT_EQ(i.rutaOriginal(perdida), perdida);
  EXPECT_TRUE(i.hayQueMover(perdida, perdida));
  carga.simbolos.clear();
  EXPECT_EQ(i.rutaOriginal(trasladada), trasladada);
}

// The root and trailing slashes, where path helpers usually slip.
TEST(Rutas, LaRaizYLasBarrasFinales) {
  EXPECT_EQ(rutas::estandarizar("/"), "/");
  EXPECT_EQ(rutas::estandarizar("/a/./b//"), "/a/b");
  EXPECT_EQ(rutas::padre("/a/b/"), "/a");
  EXPECT_EQ(rutas::padre("/a"), "/");
}

}  // namespace
}  // namespace ovelmar
