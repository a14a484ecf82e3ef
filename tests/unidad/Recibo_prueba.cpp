// What the process that starts after a swap learns of it, and the application's check of
// its own signature, against doubles: two processes of Foo share the clock, the files and
// the user defaults.

#include <gtest/gtest.h>

#include <functional>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/TextosLinux.hpp"
#include "Plataforma/linux/UrlsLinux.hpp"
#include "comun/DoblesActualizador.hpp"
#include "comun/DoblesInstalador.hpp"

namespace ovelmar {
namespace {

using namespace pruebas;

const std::string kApp = "/Applications/Foo.app";
const std::string kClave = "com.ej.Foo.actualizacion.ultima";

struct Mundo {
  RelojManual reloj;
  Bitacora bitacora;
  ArchivosFalsos archivos{bitacora};
  PreferenciasEnMemoria preferencias;
};

// A process of Foo `build` running from `ruta`, with process number `pid`.
struct Proceso {
  ColaManual cola;
  ColaGlobalManual global;
  PaqueteFijo paquete;
  CarpetasFijas carpetas;
  EntornoFijo entorno;
  ProcesosFalsos procesos;
  RegistroEnMemoria registro;
  Notificaciones notificaciones;
  RedManual red;
  AdministradorFalso administrador;
  AplicacionFalsa aplicacion;
  AplicacionesFalsas aplicaciones;
  TextosLinux textos;
  UrlsLinux urls;
  FirmaFija firma;
  Plataforma p;
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};
  Actualizador act{p, reglas, instalador};

  Proceso(Mundo& m, std::int32_t pid, const char* build, std::string ruta = kApp)
      : cola(m.reloj),
        procesos(m.bitacora),
        administrador(m.bitacora),
        aplicacion(m.bitacora),
        aplicaciones(m.bitacora, m.reloj) {
    p.paquete = &paquete, p.entorno = &entorno, p.colaPrincipal = &cola, p.colaGlobal = &global;
    p.reloj = &m.reloj, p.archivos = &m.archivos, p.carpetas = &carpetas, p.procesos = &procesos;
    p.aplicaciones = &aplicaciones, p.aplicacion = &aplicacion, p.administrador = &administrador;
    p.registro = &registro, p.preferencias = &m.preferencias, p.notificaciones = &notificaciones;
    p.red = &red, p.textos = &textos, p.urls = &urls, p.firma = &firma;
    paquete.rutaFija = ruta;
    paquete.infoFija = Diccionario{
        {"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}, {"CFBundleVersion", build}};
    procesos.propio = pid;
    procesos.inicios[pid] = m.reloj.t;
  }
};

Diccionario recibo(const char* resultado, std::int64_t desde = 1) {
  return {{"build", Valor(42)},
          {"desde", Valor(desde)},
          {"resultado", Valor(resultado)},
          {"segundos", Valor(2.0)}};
}

TEST(Recibo, LoCuentaElProcesoSiguienteSoloCuandoElQueLoEscribioSeHaIdo) {
  using Paso = std::function<void(Mundo&, Proceso&)>;
  auto nada = [](Mundo&, Proceso&) {};
  auto dato = [](const char* clave, Valor v) {
    return [=](Mundo& m, Proceso&) {
      Diccionario d = *m.preferencias.valores[kClave].diccionario();
      d[clave] = v;
      m.preferencias.valores[kClave] = Valor(d);
    };
  };
  struct Caso {
    const char* caso;
    Paso antes;    // on the process that hands the update over
    Paso despues;  // on the process that starts 2 s later
    const char* build = "42";
    std::optional<Diccionario> esperado = std::nullopt;  // absent: empty
    std::string ruta = kApp;
  };
  const Caso casos[] = {
      {"swapped", nada, nada, "42", recibo("instalada")},
      {"new bundle missing: rolled back", nada, nada, "1", recibo("sin_instalar")},
      {"the script never started", [](Mundo&, Proceso& e) { e.procesos.lanzable = false; }, nada,
       "1", recibo("sin_instalar")},
      {"administrator route",
       [](Mundo& m, Proceso& e) {
         m.archivos.noEscribibles.insert("/Applications");
         e.administrador.alEjecutar = [&m, &e] {  // the new Info.plist is in place at once
           m.archivos.paquete(kApp, "");
           (*e.paquete.infoFija)["CFBundleVersion"] = "42";
         };
       },
       nada, "42", recibo("instalada")},
      {"build 42 running elsewhere", nada, nada, "42", recibo("sin_instalar"),
       "/home/u/Downloads/Foo.app"},
      {"its process still running", nada,
       [](Mundo&, Proceso& l) { l.procesos.vivos = {100}, l.procesos.inicios[100] = 0; }},
      {"its number taken by a later process", nada,
       [](Mundo& m, Proceso& l) {
         l.procesos.vivos = {100};
         l.procesos.inicios[100] = m.reloj.t - 1;
       },
       "42", recibo("instalada")},
      {"this process got its number", nada,
       [](Mundo& m, Proceso& l) {
         l.procesos.propio = 100;
         l.procesos.inicios[100] = m.reloj.t;
       },
       "42", recibo("instalada")},
      {"older than the running build", nada, nada, "43"},
      {"another update started since", nada,
       [](Mundo&, Proceso& l) {
         ASSERT_TRUE(l.act.empezar({{"url", "https://ej.com/Foo-43.zip"},
                                    {"sha256", std::string(64, 'a')},
                                    {"build", 43},
                                    {"tamano", 100}}));
       }},
      {"of another application", nada, dato("identificador", "com.ej.Otra")},
      {"damaged: pid as a list", nada, dato("pid", Valor(Lista{Valor(100)}))},
      {"damaged: pid out of range", nada, dato("pid", Valor(std::int64_t{1} << 40))},
      {"damaged: time as text", nada, dato("momento", "ayer")},
      {"damaged: no dictionary", nada,
       [](Mundo& m, Proceso&) { m.preferencias.valores[kClave] = Valor("basura"); }},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Mundo m;
    m.archivos.paquete(kApp, "");
    const std::string candidato = "/home/u/.cache/com.ej.Foo/actualizacion/Foo-42/Foo.app";
    m.archivos.paquete(candidato, "");
    Proceso escritor(m, 100, "1");
    escritor.carpetas.cachesFija = "/home/u/.cache";
    c.antes(m, escritor);
    escritor.act.instalar(candidato, {"https://ej.com/Foo-42.zip", std::string(64, 'a'), 42, 100});
    ASSERT_TRUE(m.preferencias.valores.count(kClave));
    EXPECT_EQ(escritor.act.ultimaActualizacion(), Diccionario{});  // it has not gone yet
    m.reloj.t += 2;
    Proceso lector(m, 300, c.build, c.ruta);
    c.despues(m, lector);
    EXPECT_EQ(lector.act.ultimaActualizacion(), c.esperado.value_or(Diccionario{}));
  }
}

TEST(FirmaPropia, SeCompruebaUnaVezEnSegundoPlanoYSinEstadoHastaTenerlo) {
  const std::string kDice = "a sealed resource is missing or invalid: Contents/MacOS/Foo";
  for (std::int32_t validez : {0, FirmaDeCodigo::errSecCSBadResource}) {
    SCOPED_TRACE(validez);
    Mundo m;
    Proceso a(m, 100, "1");
    a.firma.validez = validez;
    const Diccionario pendiente{{"valida", Valor(false)},
                                {"descripcion", Valor("the signature is being checked")}};
    EXPECT_EQ(a.act.firmaPropia(), pendiente);
    EXPECT_EQ(a.act.firmaPropia(), pendiente);
    ASSERT_EQ(a.global.trabajos.size(), 1u);  // one check per process
    EXPECT_TRUE(a.firma.banderas.empty());    // nothing on the caller's thread
    a.global.correrTodo();
    const std::string requisito = a.reglas.requisitoDeFirma(ReglasDeActualizacion::equipo);
    EXPECT_EQ(a.firma.requisitos, std::vector<std::string>{requisito});
    EXPECT_EQ(a.firma.banderas, std::vector<std::uint32_t>{0x19});
    EXPECT_EQ(a.act.firmaPropia(),
              (Diccionario{{"valida", Valor(validez == 0)},
                           {"estado", Valor(static_cast<std::int64_t>(validez))},
                           {"descripcion",
                            Valor(validez ? kDice : "meets the requirement: " + requisito)}}));
    EXPECT_TRUE(a.global.trabajos.empty());
  }
}

}  // namespace
}  // namespace ovelmar
