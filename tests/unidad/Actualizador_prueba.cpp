#include "Ovelmar/Actualizador.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <set>

#include "Ovelmar/Ovelmar.hpp"
#include "Plataforma/linux/TextosLinux.hpp"
#include "Plataforma/linux/UrlsLinux.hpp"
#include "comun/Dobles.hpp"
#include "comun/DoblesActualizador.hpp"

namespace ovelmar {
namespace {

using namespace pruebas;

const std::string kCarpeta = "/home/u/.cache/com.ej.Foo/actualizacion";
const std::string kSha(64, 'a');
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Diccionario pedido(std::int64_t build, std::int64_t tamano = 100) {
  return {{"url", Valor("https://ej.com/Foo-" + std::to_string(build) + ".zip")},
          {"sha256", Valor(kSha)},
          {"build", Valor(build)},
          {"tamano", Valor(tamano)}};
}

Diccionario fase(const char* f, Valor progreso, std::int64_t bajado, std::int64_t total,
                 std::int64_t build) {
  return {{"fase", Valor(f)},
          {"progreso", progreso},
          {"bajado", Valor(bajado)},
          {"total", Valor(total)},
          {"build", Valor(build)}};
}

Diccionario fallo(const char* motivo, std::int64_t build) {
  return {{"fase", Valor("fallo")}, {"motivo", Valor(motivo)}, {"build", Valor(build)}};
}

// One updater with every port a double, installed at /Applications/<nombre>.app.
struct Banco {
  RelojManual reloj;
  ColaManual cola{reloj};
  PaqueteFijo paquete;
  CarpetasFijas carpetas;
  ArchivosEnMemoria archivos;
  RegistroEnMemoria registro;
  PreferenciasEnMemoria preferencias;
  Notificaciones notificaciones;
  RedManual red;
  TextosLinux textos;
  UrlsLinux urls;
  EntornoFijo entorno;
  Plataforma p;
  std::unique_ptr<ReglasDeActualizacion> reglas;
  std::unique_ptr<Instalador> instalador;
  std::unique_ptr<Actualizador> act;
  std::vector<Diccionario> avisos;
  std::vector<Diccionario> estadosVistos;  // what the state read inside each observer

  explicit Banco(const std::string& nombre = "Foo") {
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", nombre}};
    paquete.rutaFija = "/Applications/" + nombre + ".app";
    carpetas.cachesFija = "/home/u/.cache";
    p.paquete = &paquete;
    p.colaPrincipal = &cola;
    p.reloj = &reloj;
    p.archivos = &archivos;
    p.carpetas = &carpetas;
    p.registro = &registro;
    p.preferencias = &preferencias;
    p.notificaciones = &notificaciones;
    p.red = &red;
    p.textos = &textos;
    p.urls = &urls;
    p.entorno = &entorno;
    reglas = std::make_unique<ReglasDeActualizacion>(p);
    instalador = std::make_unique<Instalador>(p, *reglas);
    act = std::make_unique<Actualizador>(p, *reglas, *instalador);
    notificaciones.observar("com.ej.Foo.actualizacion", [this](const Diccionario& d) {
      avisos.push_back(d);
      estadosVistos.push_back(act->estado());
    });
  }
  SesionManual& sesion() { return red.ultima(); }
  // The session's finished file for a body of `n` bytes, then the end of the transfer.
  void terminar(int estado, std::size_t n) {
    archivos.poner("/tmp/cuerpo", std::string(n, 'z'));
    sesion().terminado(estado, "/tmp/cuerpo");
    sesion().completado();
  }
  std::set<std::string> enCarpeta() {
    auto l = archivos.listar(kCarpeta);
    return l ? std::set<std::string>(l->begin(), l->end()) : std::set<std::string>{};
  }
};

TEST(Actualizador, RecorreLasFasesConLosDiccionariosExactos) {
  Banco b;
  EXPECT_EQ(b.act->estado(), (Diccionario{{"fase", "nada"}}));
  Ovelmar entrada(b.p, *b.instalador, *b.act);
  Diccionario antes = entrada.estadoDeLaActualizacion();

  ASSERT_TRUE(b.act->empezar(pedido(42)));
  SesionManual& s = b.sesion();
  EXPECT_EQ(s.configuracion.esperaDeDatos, 60);
  EXPECT_EQ(s.configuracion.esperaTotal, 3600);
  EXPECT_TRUE(s.configuracion.sinCache);
  EXPECT_FALSE(s.configuracion.esperarConectividad);
  ASSERT_EQ(s.tareas.size(), 1u);
  EXPECT_EQ(s.ultima().url, "https://ej.com/Foo-42.zip");
  EXPECT_EQ(s.ultima().opciones.limiteDeBytes, 100);
  EXPECT_EQ(s.ultima().opciones.archivoParcial, kCarpeta + "/Foo-42.parcial");
  EXPECT_TRUE(s.ultima().empezada);

  s.progreso(50, 100);
  b.reloj.t += 0.25;
  s.progreso(150, -1);  // no length from the server: measured against tamano, capped at 1
  b.reloj.t += 0.25;
  s.progreso(30, 0);
  b.terminar(206, 100);

  const std::vector<Diccionario> esperados{
      fase("descargando", Valor(std::int64_t{0}), 0, 100, 42),
      fase("descargando", Valor(0.5), 50, 100, 42),
      fase("descargando", Valor(1.0), 150, 100, 42),
      fase("descargando", Valor(0.3), 30, 100, 42),
      fase("comprobando", Valor(std::int64_t{1}), 100, 100, 42),
  };
  EXPECT_EQ(b.avisos, esperados);
  EXPECT_EQ(b.estadosVistos, esperados);  // the state is already new inside the observer
  EXPECT_EQ(b.archivos.contenido(kCarpeta + "/Foo-42.zip"), std::string(100, 'z'));
  EXPECT_EQ(s.terminadas, 1);
  EXPECT_EQ(s.canceladas, 0);
  EXPECT_EQ(antes, (Diccionario{{"fase", "nada"}}));  // a copy, not a view
  EXPECT_EQ(entrada.estadoDeLaActualizacion(), esperados.back());
  EXPECT_TRUE(b.registro.lineas.empty());
}

TEST(Actualizador, LimitaLosAvisosDeProgresoACadaCuartoDeSegundo) {
  Banco b;
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  const double base = b.reloj.t;
  struct Paso {
    double en;
    bool avisa;
  };
  const Paso pasos[] = {
      {0.0, true},   // the first one of the process always posts
      {0.1, false},  // 0.1 s later
      {0.25, true},  // exactly 0.25 s after the last posted one
      {0.2, false},  // clock set back
      {0.4999, false}, {0.5, true},
  };
  for (const Paso& paso : pasos) {
    SCOPED_TRACE(paso.en);
    std::size_t antes = b.avisos.size();
    b.reloj.t = base + paso.en;
    b.sesion().progreso(10, 100);
    EXPECT_EQ(b.avisos.size() - antes, paso.avisa ? 1u : 0u);
  }
  // Not reset by a new download: its first callback 0.1 s later is held back.
  b.sesion().completado(ErrorDeRed{"caída", std::nullopt});
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  std::size_t antes = b.avisos.size();
  b.reloj.t = base + 0.6;
  b.sesion().progreso(10, 100);
  EXPECT_EQ(b.avisos.size(), antes);
}

TEST(Actualizador, UnaPeticionDuranteOtraSoloRepiteElEstado) {
  Banco b;
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  b.sesion().progreso(40, 100);
  const Diccionario actual = b.act->estado();
  Diccionario otraUrl = pedido(42, 555);
  otraUrl["url"] = Valor("https://otro.ej/x.zip");
  Diccionario sinSha = pedido(42);
  sinSha.erase("sha256");
  struct Caso {
    const char* caso;
    Diccionario d;
    bool respuesta;
    std::size_t avisos;
  };
  const Caso casos[] = {
      {"mismo build, otra url y tamaño", otraUrl, true, 1},
      {"otro build", pedido(43), false, 1},
      {"ilegible", sinSha, false, 0},
      {"vacía", {}, false, 0},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    std::size_t antes = b.avisos.size();
    EXPECT_EQ(b.act->empezar(c.d), c.respuesta);
    ASSERT_EQ(b.avisos.size() - antes, c.avisos);
    if (c.avisos) {
      EXPECT_EQ(b.avisos.back(), actual);
    }
    EXPECT_EQ(b.act->estado(), actual);
  }
  EXPECT_EQ(b.red.sesiones.size(), 1u);
  EXPECT_EQ(b.sesion().tareas.size(), 1u);
  b.terminar(200, 100);  // the request in progress is still build 42 of 100 bytes
  EXPECT_EQ(b.act->estado(), fase("comprobando", Valor(std::int64_t{1}), 100, 100, 42));
}

TEST(Actualizador, UnaPeticionIlegibleSinNadaEnCursoNoPublicaNada) {
  Banco b;
  Diccionario d = pedido(42);
  d["build"] = Valor(0);
  EXPECT_FALSE(b.act->empezar(d));
  EXPECT_TRUE(b.avisos.empty());
  EXPECT_TRUE(b.red.sesiones.empty());
  EXPECT_EQ(b.act->estado(), (Diccionario{{"fase", "nada"}}));
}

TEST(Actualizador, FueraDeAplicacionesFallaSinTocarElRegistroDeFallos) {
  Banco b;
  b.paquete.rutaFija = "/home/u/Downloads/Foo.app";
  const Valor registro(Diccionario{{"build", 7}, {"veces", 3}, {"ultimo", 1.5}});
  b.preferencias.valores["com.ej.Foo.actualizacion.fallos"] = registro;
  EXPECT_FALSE(b.act->empezar(pedido(42)));
  EXPECT_EQ(b.avisos, std::vector<Diccionario>{fallo("fuera_de_aplicaciones", 42)});
  EXPECT_EQ(b.registro.lineas, std::vector<std::string>{
                                   "[actualización] build 42 sin instalar: fuera_de_aplicaciones"});
  EXPECT_EQ(b.preferencias.escrituras, 0);
  EXPECT_EQ(b.preferencias.valores["com.ej.Foo.actualizacion.fallos"], registro);
  EXPECT_TRUE(b.red.sesiones.empty());
  // Idle again: the next request meets the same test.
  EXPECT_FALSE(b.act->empezar(pedido(42)));
  EXPECT_EQ(b.avisos.size(), 2u);
}

TEST(Actualizador, CuentaLosFallosPorBuildAunqueElRegistroEsteDanado) {
  const std::string clave = "com.ej.Foo.actualizacion.fallos";
  struct Paso {
    std::int64_t build;
    std::int64_t veces;
  };
  struct Caso {
    const char* caso;
    std::optional<Valor> inicial;
    std::vector<Paso> pasos;
  };
  const Caso casos[] = {
      {"sin registro; 42 tres veces, luego 43", std::nullopt, {{42, 1}, {42, 2}, {42, 3}, {43, 1}}},
      {"sin veces", Valor(Diccionario{{"build", 42}}), {{42, 1}}},
      {"build como texto", Valor(Diccionario{{"build", "42"}, {"veces", 4}}), {{42, 5}}},
      {"números reales", Valor(Diccionario{{"build", 42.0}, {"veces", 2.0}}), {{42, 3}}},
      {"veces ilegible", Valor(Diccionario{{"build", 42}, {"veces", "x"}}), {{42, 1}}},
      {"veces negativo", Valor(Diccionario{{"build", 42}, {"veces", -9}}), {{42, 1}}},
      {"veces en el máximo",
       Valor(Diccionario{{"build", 42}, {"veces", Valor(kMax)}}),
       {{42, kMax}, {42, kMax}}},
      {"no es un diccionario", Valor("basura"), {{42, 1}}},
      {"lista", Valor(Lista{Valor(42)}), {{42, 1}}},
      {"otro build", Valor(Diccionario{{"build", 41}, {"veces", 9}}), {{42, 1}}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    if (c.inicial) b.preferencias.valores[clave] = *c.inicial;
    for (const Paso& paso : c.pasos) {
      b.reloj.t += 10.5;
      ASSERT_TRUE(b.act->empezar(pedido(paso.build)));
      b.sesion().completado(ErrorDeRed{"sin red", std::nullopt});
      EXPECT_EQ(b.act->estado(), fallo("red", paso.build));
      const Diccionario esperado{{"build", Valor(paso.build)},
                                 {"veces", Valor(paso.veces)},
                                 {"ultimo", Valor(b.reloj.t * 1000.0)}};
      EXPECT_EQ(b.preferencias.valores[clave], Valor(esperado));
    }
    EXPECT_EQ(
        b.registro.lineas.back(),
        "[actualización] build " + std::to_string(c.pasos.back().build) + " sin instalar: red");
  }
}

TEST(Actualizador, LasLlamadasTardiasDeUnaSesionCanceladaNoCambianNada) {
  Banco b;
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  std::shared_ptr<SesionManual> vieja = b.red.sesiones.back();
  b.act->fallar("instalar", 42, true);
  EXPECT_EQ(vieja->canceladas, 1);
  const auto avisos = b.avisos.size();
  const auto escrituras = b.preferencias.escrituras;

  auto tardias = [&] {
    vieja->progreso(60, 100);
    b.archivos.poner("/tmp/cuerpo", std::string(100, 'z'));
    vieja->terminado(200, "/tmp/cuerpo");
    vieja->completado(ErrorDeRed{"cancelada", std::vector<std::uint8_t>{1, 2, 3}});
  };
  tardias();  // with nothing in progress
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  tardias();                               // while another session runs
  EXPECT_EQ(b.avisos.size(), avisos + 1);  // only the start of the second request
  EXPECT_EQ(b.preferencias.escrituras, escrituras);
  EXPECT_FALSE(b.archivos.existe(kCarpeta + "/Foo-42.zip"));
  EXPECT_FALSE(b.archivos.existe(kCarpeta + "/Foo-42.reanudar"));
  EXPECT_EQ(b.sesion().canceladas + b.sesion().terminadas, 0);
  EXPECT_EQ(b.act->estado(), fase("descargando", Valor(std::int64_t{0}), 0, 100, 42));
  // Dropped sessions are let go only once the queue runs, after the callback returned.
  b.cola.correr();
  EXPECT_EQ(b.cola.pendientes(), 0u);
}

TEST(Actualizador, ElBarridoSoloConservaLoDeEsteBuild) {
  Banco b;
  for (const char* n : {"Foo-42.zip", "Foo-42.reanudar", "Foo-42.parcial", "Foo-41.zip",
                        "Foo-41.reanudar", "Foo-420.zip", ".oculto", "Foo-42/Foo.app/x"})
    b.archivos.poner(kCarpeta + "/" + n, "123");
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  // The resume data was kept by the sweep, then used once and removed.
  EXPECT_EQ(b.enCarpeta(), (std::set<std::string>{"Foo-42.zip", "Foo-42.parcial"}));
  ASSERT_TRUE(b.sesion().ultima().reanudacion);
  EXPECT_EQ(*b.sesion().ultima().reanudacion, (std::vector<std::uint8_t>{'1', '2', '3'}));
  EXPECT_EQ(b.sesion().ultima().url, "https://ej.com/Foo-42.zip");
}

TEST(Actualizador, UnArchivoCompletoSeCompruebaSinDescargar) {
  Banco b;
  b.archivos.poner(kCarpeta + "/Foo-42.zip", std::string(100, 'z'));
  b.archivos.poner(kCarpeta + "/Foo-41.zip", "viejo");
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  EXPECT_EQ(b.avisos,
            (std::vector<Diccionario>{fase("descargando", Valor(std::int64_t{0}), 0, 100, 42),
                                      fase("comprobando", Valor(std::int64_t{1}), 100, 100, 42)}));
  EXPECT_TRUE(b.red.sesiones.empty());
  EXPECT_TRUE(b.archivos.existe(kCarpeta + "/Foo-42.zip"));
  // A repeated request while it is checked only repeats "comprobando".
  EXPECT_TRUE(b.act->empezar(pedido(42)));
  EXPECT_EQ(b.avisos.back(), fase("comprobando", Valor(std::int64_t{1}), 100, 100, 42));
  EXPECT_TRUE(b.red.sesiones.empty());
}

TEST(Actualizador, SoloUnArchivoDelTamanoAnunciadoCuentaComoCompleto) {
  struct Caso {
    const char* caso;
    std::optional<int> estado;  // empty: the finished-file callback never comes
    std::size_t bytes;
    bool previo;  // a stale Foo-42.zip of the wrong size lies there already
    bool completo;
  };
  const Caso casos[] = {
      {"200 completo", 200, 100, false, true},
      {"206 reanudado", 206, 100, true, true},
      {"200 corto", 200, 99, false, false},
      {"200 largo", 200, 101, false, false},
      {"404 con cuerpo del tamaño justo", 404, 100, false, false},
      {"416 tras un archivo previo", 416, 0, true, false},
      {"sin archivo terminado", std::nullopt, 0, true, false},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    if (c.previo) b.archivos.poner(kCarpeta + "/Foo-42.zip", std::string(60, 'v'));
    ASSERT_TRUE(b.act->empezar(pedido(42)));
    if (c.estado) {
      b.terminar(*c.estado, c.bytes);
    } else {
      b.sesion().completado();
    }
    if (c.completo) {
      EXPECT_EQ(b.act->estado(), fase("comprobando", Valor(std::int64_t{1}), 100, 100, 42));
      EXPECT_EQ(b.archivos.tamano(kCarpeta + "/Foo-42.zip"), 100);
    } else {
      EXPECT_EQ(b.act->estado(), fallo("red", 42));
      EXPECT_FALSE(b.archivos.existe(kCarpeta + "/Foo-42.zip"));
    }
  }
}

TEST(Actualizador, GuardaLaReanudacionYLaUsaUnaSolaVez) {
  Banco b;
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  const std::vector<std::uint8_t> datos{'r', 'e', 's'};
  b.sesion().completado(ErrorDeRed{"conexión cortada", datos});
  EXPECT_EQ(b.act->estado(), fallo("red", 42));
  EXPECT_EQ(b.archivos.leer(kCarpeta + "/Foo-42.reanudar"), datos);

  ASSERT_TRUE(b.act->empezar(pedido(42)));
  EXPECT_EQ(b.sesion().ultima().reanudacion, datos);
  EXPECT_FALSE(b.archivos.existe(kCarpeta + "/Foo-42.reanudar"));
}

TEST(Actualizador, UnaReanudacionInservibleEmpiezaDeCero) {
  Banco b;
  b.archivos.poner(kCarpeta + "/Foo-42.reanudar", "dañado");
  b.red.reanudacionRechazada = true;
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  ASSERT_EQ(b.sesion().tareas.size(), 1u);
  EXPECT_FALSE(b.sesion().ultima().reanudacion);
  EXPECT_TRUE(b.sesion().ultima().empezada);
  EXPECT_EQ(b.sesion().ultima().url, "https://ej.com/Foo-42.zip");
  EXPECT_FALSE(b.archivos.existe(kCarpeta + "/Foo-42.reanudar"));
  b.terminar(200, 100);
  EXPECT_EQ(b.act->estado().at("fase"), Valor("comprobando"));
}

TEST(Actualizador, SinSesionDeRedFallaConRed) {
  Banco b;
  b.red.sinSesion = true;
  EXPECT_TRUE(b.act->empezar(pedido(42)));
  EXPECT_EQ(b.act->estado(), fallo("red", 42));
  EXPECT_EQ(b.preferencias.escrituras, 1);
}

TEST(Actualizador, PuedeActualizarseComparaRutasResueltasYNormalizadas) {
  const std::string nfc = "Caf\xc3\xa9";   // é composed
  const std::string nfd = "Cafe\xcc\x81";  // e + combining acute
  struct Caso {
    const char* caso;
    std::string nombre;
    std::optional<std::string> ruta;
    bool puede;
  };
  const Caso casos[] = {
      {"en su sitio", "Foo", "/Applications/Foo.app", true},
      {"a través de un enlace", "Foo", "/enlace/Foo.app", true},
      {"con . y ..", "Foo", "/Applications/./x/../Foo.app", true},
      {"copia con el mismo nombre en otro sitio", "Foo", "/home/u/Downloads/Foo.app", false},
      {"mayúsculas distintas", "Foo", "/applications/Foo.app", false},
      {"otra forma de normalización", nfc, "/Applications/" + nfd + ".app", true},
      {"sin paquete", "Foo", std::nullopt, false},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b(c.nombre);
    b.archivos.enlaces["/enlace"] = "/Applications";
    b.paquete.rutaFija = c.ruta;
    EXPECT_EQ(b.act->puedeActualizarse(), c.puede);
  }
}

TEST(ActualizadorMuerte, UnaLlamadaDeLaSesionFueraDelHiloPrincipalDetieneElProceso) {
  Banco b;
  ASSERT_TRUE(b.act->empezar(pedido(42)));
  b.cola.principal = false;
  EXPECT_DEATH(b.sesion().progreso(1, 100), "main thread");
  EXPECT_DEATH(b.sesion().completado(), "main thread");
}

}  // namespace
}  // namespace ovelmar
