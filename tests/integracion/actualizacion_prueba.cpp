// The updater over the real platform: HTTPS downloads from a local server through the
// libcurl session, real files, the user-defaults file and the demo host.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/PreferenciasLinux.hpp"
#include "Plataforma/linux/RedLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"
#include "comun/ServidorHttps.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

const std::string kSha(64, 'a');

std::string cuerpoDe(std::size_t n, unsigned semilla = 7) {
  std::mt19937 azar(semilla);
  std::string t(n, '\0');
  for (char& c : t) c = static_cast<char>(azar());
  return t;
}

std::optional<std::string> leerArchivo(const fs::path& ruta) {
  std::ifstream f(ruta, std::ios::binary);
  if (!f) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

Diccionario pedido(const std::string& url, std::int64_t build, std::int64_t tamano) {
  return {{"url", Valor(url)},
          {"sha256", Valor(kSha)},
          {"build", Valor(build)},
          {"tamano", Valor(tamano)}};
}

// The application Foo, installed in a folder of the test, with a real platform around it.
struct Banco {
  CarpetaTemporal carpeta;
  ServidorHttps servidor{carpeta.ruta()};
  PlataformaLinux linux;
  PaqueteFijo paquete;
  EntornoFijo entorno;
  CarpetasFijas carpetas;  // a cache folder of this test's own
  std::unique_ptr<PreferenciasLinux> preferencias;
  Plataforma p;
  std::unique_ptr<ReglasDeActualizacion> reglas;
  std::unique_ptr<Instalador> instalador;
  std::unique_ptr<Actualizador> act;
  std::vector<Diccionario> avisos;
  std::uint64_t observador = 0;

  explicit Banco(const std::string& nombre = "Foo") {
    const fs::path aplicaciones = carpeta.ruta() / "Aplicaciones";
    fs::create_directories(aplicaciones);
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", nombre}};
    paquete.rutaFija = (aplicaciones / (nombre + ".app")).string();
    entorno.variables["KESTRAVON_DESTINO"] = aplicaciones.string();
    p = linux.plataforma();
    preferencias = std::make_unique<PreferenciasLinux>(*p.propiedades, "com.ej.Foo");
    p.paquete = &paquete;
    p.entorno = &entorno;
    carpetas.cachesFija = (carpeta.ruta() / "cache").string();
    p.carpetas = &carpetas;
    p.preferencias = preferencias.get();
    linux.red().confiarEn(servidor.ca());
    reglas = std::make_unique<ReglasDeActualizacion>(p);
    instalador = std::make_unique<Instalador>(p, *reglas);
    nuevoActualizador();
    observador = p.notificaciones->observar("com.ej.Foo.actualizacion",
                                            [this](const Diccionario& d) { avisos.push_back(d); });
  }
  ~Banco() { p.notificaciones->dejarDeObservar(observador); }

  // A request that reached "comprobando" stays in progress: a new one needs a new updater.
  void nuevoActualizador() {
    act.reset();
    act = std::make_unique<Actualizador>(p, *reglas, *instalador);
  }
  fs::path descargas() const { return act->carpeta(); }
  std::string fase() const { return *textoDe(act->estado(), "fase"); }
  // Runs the main queue until the download is over (bounded).
  void esperarFinDeDescarga() {
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fase() == "descargando" && std::chrono::steady_clock::now() < limite)
      p.colaPrincipal->correrDurante(0.05);
    p.colaPrincipal->correrDurante(0.05);  // let the dropped session go
  }
  std::string publicar(const std::string& ruta, const Recurso& r) {
    servidor.publicar(ruta, r);
    return servidor.url(ruta);
  }
};

Recurso recurso(const std::string& cuerpo) {
  Recurso r;
  r.cuerpo = cuerpo;
  return r;
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

TEST(Actualizacion, DescargaCompletaHastaComprobandoYBarreLoDeOtrosBuilds) {
  Banco b;
  const std::string cuerpo = cuerpoDe(3 * 1024 * 1024 + 17);
  const std::string url = b.publicar("/Foo-42.zip", recurso(cuerpo));
  const fs::path d = b.descargas();
  for (const char* n : {"Foo-41.zip", "Foo-41.reanudar", "Foo-420.zip", "Foo-42/Foo.app/x"})
    escribirArchivo(d / n, "viejo");

  ASSERT_TRUE(b.act->empezar(pedido(url, 42, static_cast<std::int64_t>(cuerpo.size()))));
  b.esperarFinDeDescarga();

  const auto tamano = static_cast<std::int64_t>(cuerpo.size());
  EXPECT_EQ(b.act->estado(), comprobando(42, tamano));
  EXPECT_EQ(leerArchivo(d / "Foo-42.zip"), cuerpo);
  std::set<std::string> quedan;
  for (const auto& e : fs::directory_iterator(d)) quedan.insert(e.path().filename().string());
  EXPECT_EQ(quedan, std::set<std::string>{"Foo-42.zip"});
  ASSERT_GE(b.avisos.size(), 2u);
  EXPECT_EQ(b.avisos.front(), (Diccionario{{"fase", "descargando"},
                                           {"progreso", 0},
                                           {"bajado", 0},
                                           {"total", Valor(tamano)},
                                           {"build", 42}}));
  std::int64_t bajado = 0;
  for (std::size_t i = 1; i + 1 < b.avisos.size(); ++i) {
    const Diccionario& a = b.avisos[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(*textoDe(a, "fase"), "descargando");
    ASSERT_TRUE(buscar(a, "progreso") && buscar(a, "progreso")->real());
    EXPECT_LE(*buscar(a, "progreso")->real(), 1.0);
    EXPECT_GE(*buscar(a, "bajado")->entero(), bajado);
    bajado = *buscar(a, "bajado")->entero();
  }
  EXPECT_EQ(b.avisos.back(), comprobando(42, tamano));
}

TEST(Actualizacion, TrasUnCorteReanudaYElArchivoQuedaIdentico) {
  Banco b;
  const std::string cuerpo = cuerpoDe(2 * 1024 * 1024, 11);
  const auto tamano = static_cast<std::int64_t>(cuerpo.size());
  Recurso r = recurso(cuerpo);
  r.cortarTras = 700 * 1024;
  const std::string url = b.publicar("/Foo-42.zip", r);

  ASSERT_TRUE(b.act->empezar(pedido(url, 42, tamano)));
  b.esperarFinDeDescarga();
  EXPECT_EQ(b.act->estado(), fallo("red", 42));
  const fs::path d = b.descargas();
  EXPECT_TRUE(fs::exists(d / "Foo-42.reanudar"));
  EXPECT_FALSE(fs::exists(d / "Foo-42.zip"));

  ASSERT_TRUE(b.act->empezar(pedido(url, 42, tamano)));
  EXPECT_FALSE(fs::exists(d / "Foo-42.reanudar"));  // used once
  b.esperarFinDeDescarga();
  EXPECT_EQ(b.act->estado(), comprobando(42, tamano));
  EXPECT_EQ(leerArchivo(d / "Foo-42.zip"), cuerpo);
  std::vector<Peticion> peticiones = b.servidor.peticiones();
  ASSERT_EQ(peticiones.size(), 2u);
  EXPECT_EQ(peticiones[0].cabeceras.count("range"), 0u);
  ASSERT_EQ(peticiones[1].cabeceras.count("range"), 1u);
  EXPECT_NE(peticiones[1].cabeceras["range"], "bytes=0-");
}

TEST(Actualizacion, LasRespuestasQueNoDanElArchivoAnunciadoTerminanEnRed) {
  const std::string cuerpo = cuerpoDe(256 * 1024, 3);
  const auto tamano = static_cast<std::int64_t>(cuerpo.size());
  struct Caso {
    const char* caso;
    Recurso recurso;
    bool completo;
  };
  Recurso r404 = recurso(cuerpo);  // an error page exactly as long as the archive
  r404.estado = 404;
  Recurso corto = recurso(cuerpo.substr(0, cuerpo.size() - 10));
  Recurso largo = recurso(cuerpo + cuerpoDe(100 * 1024, 4));
  Recurso largoSinLongitud = largo;
  largoSinLongitud.sinLongitud = true;
  Recurso masQueLoAnunciado = largo;
  masQueLoAnunciado.longitudAnunciada = tamano - 1000;
  Recurso cortado = recurso(cuerpo);
  cortado.longitudAnunciada = tamano;
  cortado.cortarTras = tamano / 2;
  cortado.cortes = 1000;
  Recurso sinLongitud = recurso(cuerpo);
  sinLongitud.sinLongitud = true;
  const Caso casos[] = {
      {"404", r404, false},
      {"cuerpo corto", corto, false},
      {"cuerpo largo", largo, false},
      {"cuerpo largo sin longitud", largoSinLongitud, false},
      {"más cuerpo que el anunciado", masQueLoAnunciado, false},
      {"conexión cortada", cortado, false},
      {"sin longitud", sinLongitud, true},
  };
  Banco b;
  std::int64_t build = 100;
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    ++build;
    b.nuevoActualizador();
    b.avisos.clear();
    const std::string url = b.publicar("/Foo-" + std::to_string(build) + ".zip", c.recurso);
    ASSERT_TRUE(b.act->empezar(pedido(url, build, tamano)));
    b.esperarFinDeDescarga();
    const fs::path zip = b.descargas() / ("Foo-" + std::to_string(build) + ".zip");
    if (c.completo) {
      EXPECT_EQ(b.act->estado(), comprobando(build, tamano));
      EXPECT_EQ(leerArchivo(zip), cuerpo);
      for (const Diccionario& a : b.avisos) EXPECT_EQ(*buscar(a, "total"), Valor(tamano));
    } else {
      EXPECT_EQ(b.act->estado(), fallo("red", build));
      EXPECT_FALSE(fs::exists(zip));
    }
  }
}

TEST(Actualizacion, UnaReanudacionDanadaNoImpideLaDescarga) {
  Banco b;
  const std::string cuerpo = cuerpoDe(300 * 1024, 5);
  const std::string url = b.publicar("/Foo-42.zip", recurso(cuerpo));
  const fs::path d = b.descargas();
  for (const char* basura : {"<<<no es nada", ""}) {
    SCOPED_TRACE(basura);
    b.nuevoActualizador();
    escribirArchivo(d / "Foo-42.reanudar", basura);
    escribirArchivo(d / "Foo-42.parcial", "restos");
    ASSERT_TRUE(b.act->empezar(pedido(url, 42, static_cast<std::int64_t>(cuerpo.size()))));
    b.esperarFinDeDescarga();
    EXPECT_EQ(b.fase(), "comprobando");
    EXPECT_EQ(leerArchivo(d / "Foo-42.zip"), cuerpo);
    fs::remove(d / "Foo-42.zip");
  }
}

TEST(Actualizacion, ElRegistroDeFallosVaEnLasPreferenciasDelAnfitrion) {
  Banco b;
  const fs::path archivo = b.preferencias->ruta();
  EXPECT_EQ(archivo, fs::path(std::getenv("XDG_CONFIG_HOME")) / "com.ej.Foo.plist");
  Recurso r404 = recurso("no");
  r404.estado = 404;
  const std::string url = b.publicar("/Foo-42.zip", r404);

  // A damaged file neither stops the update nor the count: it is replaced whole.
  escribirArchivo(archivo, "\x01\x02 no es una lista de propiedades");
  for (std::int64_t veces : {1, 2}) {
    ASSERT_TRUE(b.act->empezar(pedido(url, 42, 100)));
    b.esperarFinDeDescarga();
    EXPECT_EQ(b.act->estado(), fallo("red", 42));
    std::optional<Valor> registro = b.preferencias->leer("com.ej.Foo.actualizacion.fallos");
    ASSERT_TRUE(registro && registro->diccionario());
    EXPECT_EQ(*buscar(*registro->diccionario(), "veces"), Valor(veces));
    EXPECT_TRUE(buscar(*registro->diccionario(), "ultimo")->real());
  }

  // A refusal because the application runs elsewhere leaves the file as it was.
  const std::optional<std::string> antes = leerArchivo(archivo);
  ASSERT_TRUE(antes);
  b.paquete.rutaFija = (b.carpeta.ruta() / "Descargas" / "Foo.app").string();
  EXPECT_FALSE(b.act->empezar(pedido(url, 43, 100)));
  EXPECT_EQ(b.act->estado(), fallo("fuera_de_aplicaciones", 43));
  EXPECT_EQ(leerArchivo(archivo), antes);
}

TEST(Actualizacion, PuedeActualizarseConEnlacesYOtraNormalizacion) {
  const std::string nfc = "Caf\xc3\xa9";
  const std::string nfd = "Cafe\xcc\x81";
  struct Caso {
    const char* caso;
    std::string nombre;   // the application's name in its bundle information
    std::string destino;  // KESTRAVON_DESTINO, relative to the test folder
    std::string ruta;     // where the running bundle is, relative to the test folder
    bool puede;
  };
  const Caso casos[] = {
      {"destino por un enlace", "Foo", "enlace", "real/Foo.app", true},
      {"la aplicación por un enlace", "Foo", "real", "enlace/Foo.app", true},
      {"copia con el mismo nombre", "Foo", "real", "otra/Foo.app", false},
      {"nombre en otra forma", nfc, "real", "real/" + nfd + ".app", true},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b(c.nombre);
    const fs::path raiz = b.carpeta.ruta();
    fs::create_directories(raiz / "real" / (c.nombre + ".app"));
    fs::create_directories(raiz / "otra" / "Foo.app");
    fs::create_directory_symlink(raiz / "real", raiz / "enlace");
    b.entorno.variables["KESTRAVON_DESTINO"] = (raiz / c.destino).string();
    b.paquete.rutaFija = (raiz / c.ruta).string();
    Instalador instalador(b.p, *b.reglas);
    Actualizador act(b.p, *b.reglas, instalador);
    EXPECT_EQ(act.puedeActualizarse(), c.puede);
  }
}

TEST(Actualizacion, ElAnfitrionDeEjemploMuestraLosEstadosDeActualizar) {
  // The demo runs from its own bundle, Kestra.app, which is its destination here; nothing
  // listens on port 1, so the download fails at once.
  const std::string arbol = OVELMAR_ARBOL;
  const std::string peticion =
      "<plist><dict><key>url</key><string>https://127.0.0.1:1/Kestra-8.zip</string>"
      "<key>sha256</key><string>" +
      kSha +
      "</string><key>build</key><integer>8</integer>"
      "<key>tamano</key><integer>1000</integer></dict></plist>";
  const std::string orden =
      "KESTRAVON_DESTINO='" + arbol + "' '" + arbol +
      "/Kestra.app/Contents/MacOS/demo' -o com.ejemplo.Kestra.actualizacion '" + arbol +
      "/Ovelmar.bundle' actualizar: '" + peticion + "' esperar:3 estadoDeLaActualizacion 2>&1";
  FILE* p = popen(orden.c_str(), "r");
  ASSERT_TRUE(p);
  std::string salida;
  char trozo[512];
  while (std::fgets(trozo, sizeof trozo, p)) salida += trozo;
  EXPECT_EQ(pclose(p), 0) << salida;
  const auto en = [&](const std::string& parte) { return salida.find(parte); };
  ASSERT_NE(en("actualizar: -> \n<?xml"), std::string::npos) << salida;
  EXPECT_NE(en("<true/>"), std::string::npos) << salida;
  EXPECT_LT(en("<string>descargando</string>"), en("<string>fallo</string>")) << salida;
  EXPECT_NE(en("<string>red</string>"), std::string::npos) << salida;
  EXPECT_NE(en("notificación com.ejemplo.Kestra.actualizacion:"), std::string::npos) << salida;
}

}  // namespace
}  // namespace ovelmar
