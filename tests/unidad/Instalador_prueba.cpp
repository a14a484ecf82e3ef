#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"
#include "comun/DoblesInstalador.hpp"

namespace ovelmar {
namespace {

using namespace pruebas;

const std::string kOrigen = "/home/ana/Downloads/Kestra.app";

std::string info(const std::string& version) {
  return infoPlist({{"CFBundleVersion", version}});
}

// Every port the installer uses, as doubles, around one installer.
struct Banco {
  Bitacora b;
  IdiomasFijos idiomas;
  EntornoFijo entorno;
  PaqueteFijo paquete;
  CarpetasFijas carpetas;
  RelojManual reloj;
  ColaManual cola{reloj};
  ColaGlobalManual global;
  ArchivosFalsos archivos{b};
  AplicacionesFalsas aplicaciones{b, reloj};
  AlertasGuionadas alertas{b};
  AdministradorFalso administrador{b};
  AplicacionFalsa aplicacion{b};
  ProcesosFalsos procesos{b};
  PropiedadesLinux propiedades;
  Plataforma p;
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};

  Banco() {
    p.paquete = &paquete;
    p.idiomas = &idiomas;
    p.entorno = &entorno;
    p.colaPrincipal = &cola;
    p.colaGlobal = &global;
    p.reloj = &reloj;
    p.archivos = &archivos;
    p.carpetas = &carpetas;
    p.propiedades = &propiedades;
    p.procesos = &procesos;
    p.aplicaciones = &aplicaciones;
    p.aplicacion = &aplicacion;
    p.alertas = &alertas;
    p.administrador = &administrador;
    idiomas.lista = {"en-US"};
    paquete.rutaFija = kOrigen;
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ejemplo.Kestra"},
                                   {"CFBundleName", "Kestra"},
                                   {"CFBundleVersion", "7"}};
    carpetas.descargasFija = "/home/ana/Downloads";
    archivos.paquete(kOrigen, info("7"));
  }
  void modoPrueba(const std::string& carpeta = "/tmp/destino") {
    entorno.variables["KESTRAVON_DESTINO"] = carpeta;
  }
  std::string D() { return instalador.destino(); }
  std::string N() { return D() + ".nuevo"; }
  // Answers the pending open requests in turn, running the main queue after each.
  void responderAperturas(const std::vector<bool>& exitos) {
    std::size_t respondidas = 0;
    for (bool exito : exitos) {
      ASSERT_LT(respondidas, aplicaciones.aperturas.size()) << "no open request left";
      auto hecho = aplicaciones.aperturas[respondidas++].hecho;
      std::size_t antes = b.size();
      hecho(exito ? std::nullopt : std::optional<Error>(errorDePrueba(EIO)));
      EXPECT_EQ(b.size(), antes) << "the continuation must wait for the main queue";
      cola.correr();
    }
  }
};

// "{D}", "{N}" and "{S}" in an expected log entry stand for the destination, the new
// copy and the source.
std::vector<std::string> expandir(std::vector<std::string> v, Banco& banco) {
  for (std::string& s : v) {
    for (auto [marca, valor] : {std::pair<std::string, std::string>{"{D}", banco.D()},
                                {"{N}", banco.N()},
                                {"{S}", kOrigen}}) {
      for (auto i = s.find(marca); i != std::string::npos; i = s.find(marca))
        s.replace(i, marca.size(), valor);
    }
  }
  return v;
}

const char* kXattr = "ejecutar /usr/bin/xattr -dr com.apple.quarantine {N}";
const char* kPregunta = "alerta Install Kestra in Applications?";
const char* kFallo = "alerta Could not install it";
const char* kInstalada = "alerta Kestra is installed";

struct CasoFlujo {
  const char* caso;
  std::function<void(Banco&)> preparar;
  std::optional<std::string> instalada;  // build of the copy at the destination
  bool instaladaAbierta;
  std::deque<int> respuestas;
  std::vector<bool> aperturas;  // how each open request ends
  bool resultado;
  std::vector<std::string> bitacora;
  std::string salida;
};

TEST(MoverSiHaceFalta, TablaDeDecisiones) {
  auto nada = [](Banco&) {};
  const CasoFlujo casos[] = {
      {"desde la carpeta de destino",
       [](Banco& b) { b.paquete.rutaFija = "/Applications/Kestra.app"; },
       {},
       false,
       {},
       {},
       false,
       {},
       ""},
      {"fuera de las descargas",
       [](Banco& b) { b.paquete.rutaFija = "/home/ana/Kestra.app"; },
       {},
       false,
       {},
       {},
       false,
       {},
       ""},
      {"sin paquete",
       [](Banco& b) { b.paquete.rutaFija.reset(); },
       {},
       false,
       {},
       {},
       false,
       {},
       ""},
      {"nueva, Instalar; la apertura falla sin reintento",
       nada,
       {},
       false,
       {0},
       {false},
       true,
       {"activar", kPregunta, "eliminar {N}", "copiar {S} {N}", kXattr, "mover {N} {D}",
        "abrir {D} nueva", "activar", kInstalada, "terminar"},
       ""},
      {"nueva, Ahora no", nada, {}, false, {1}, {}, false, {"activar", kPregunta}, ""},
      {"alerta cerrada", nada, {}, false, {-1}, {}, false, {"activar", kPregunta}, ""},
      {"igual y abierta: sin preguntar, sin reintento",
       nada,
       "7",
       true,
       {},
       {false},
       true,
       {"abrir {D} existente", "activar", kInstalada, "terminar"},
       ""},
      {"más nueva y abierta",
       nada,
       "8",
       true,
       {},
       {true},
       true,
       {"abrir {D} existente", "papelera {S}", "terminar"},
       ""},
      {"abierta pero más vieja: se cierra y se reemplaza",
       nada,
       "6",
       true,
       {0},
       {},
       true,
       {"activar", kPregunta, "eliminar {N}", "copiar {S} {N}", kXattr, "terminar 200",
        "reemplazar {D} {N}", "abrir {D} nueva"},
       ""},
      {"igual sin abrir: no se copia, se reinstala si falla",
       nada,
       "7",
       false,
       {0},
       {false},
       true,
       {"activar", kPregunta, "abrir {D} nueva", "eliminar {N}", "copiar {S} {N}", kXattr,
        "reemplazar {D} {N}", "abrir {D} nueva"},
       ""},
      {"build 1.0 instalada: se copia",
       nada,
       "1.0",
       false,
       {0},
       {},
       true,
       {"activar", kPregunta, "eliminar {N}", "copiar {S} {N}", kXattr, "reemplazar {D} {N}",
        "abrir {D} nueva"},
       ""},
      {"propia sin número: vale cualquier instalada",
       [](Banco& b) { (*b.paquete.infoFija)["CFBundleVersion"] = "beta"; },
       "0",
       false,
       {0},
       {},
       true,
       {"activar", kPregunta, "abrir {D} nueva"},
       ""},
      {"la copia falla",
       [](Banco& b) { b.archivos.fallos["copiar"] = errorDePrueba(EIO); },
       {},
       false,
       {0},
       {},
       false,
       {"activar", kPregunta, "eliminar {N}", "copiar {S} {N}", "eliminar {N}", "activar", kFallo},
       ""},
      {"contraseña cancelada: sin alerta",
       [](Banco& b) {
         b.archivos.noEscribibles.insert("/Applications");
         b.administrador.resultado = {true, true, -128};
       },
       {},
       false,
       {0},
       {},
       false,
       {"activar", kPregunta, "administrador"},
       ""},
      {"el administrador falla",
       [](Banco& b) {
         b.archivos.noEscribibles.insert("/Applications");
         b.administrador.resultado = {true, true, 1};
       },
       {},
       false,
       {0},
       {},
       false,
       {"activar", kPregunta, "administrador", "activar", kFallo},
       ""},
      {"modo de prueba, igual",
       [](Banco& b) { b.modoPrueba(); },
       "7",
       true,
       {},
       {},
       true,
       {"terminar"},
       "ya instalada en /tmp/destino/Kestra.app\n"},
      {"modo de prueba, nueva: no cierra otras copias",
       [](Banco& b) { b.modoPrueba(); },
       {},
       true,
       {},
       {},
       true,
       {"eliminar {N}", "copiar {S} {N}", kXattr, "mover {N} {D}", "terminar"},
       "instalada en /tmp/destino/Kestra.app desde /home/ana/Downloads/Kestra.app\n"},
  };
  for (const CasoFlujo& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    c.preparar(b);
    if (c.instalada) b.archivos.paquete(b.D(), info(*c.instalada));
    if (c.instaladaAbierta) {
      b.aplicaciones.corriendo = {{200, b.D()}};
      b.aplicaciones.tardaEnCerrar[200] = 0.3;
    }
    b.alertas.respuestas = c.respuestas;
    testing::internal::CaptureStdout();
    bool resultado = b.instalador.moverSiHaceFalta();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.salida);
    b.responderAperturas(c.aperturas);
    EXPECT_EQ(resultado, c.resultado);
    EXPECT_EQ(b.b, expandir(c.bitacora, b));
  }
}

TEST(MoverSiHaceFalta, TextosEnLosDosIdiomas) {
  struct Caso {
    std::vector<std::string> idiomas;
    Alerta pregunta, fallo, instalada;
  };
  const Caso casos[] = {
      {{"en-GB"},
       {"Install Kestra in Applications?",
        "Kestra is running from the download. It needs to live in Applications to keep your "
        "session and receive updates. It takes a second.",
        {"Install", "Not now"}},
       {"Could not install it",
        "Drag Kestra to the Applications folder yourself and open it from there.",
        {}},
       {"Kestra is installed", "Open it from the Applications folder.", {}}},
      {{"es-ES"},
       {"¿Instalo Kestra en Aplicaciones?",
        "Kestra se está abriendo desde la descarga. Tiene que estar en Aplicaciones para "
        "conservar tu sesión y recibir las actualizaciones. Tarda un segundo.",
        {"Instalar", "Ahora no"}},
       {"No se ha podido instalar",
        "Arrastra tú Kestra a la carpeta Aplicaciones y ábrela desde allí.",
        {}},
       {"Kestra ya está instalada", "Ábrela desde la carpeta Aplicaciones.", {}}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.idiomas.front());
    Banco b;
    b.idiomas.lista = c.idiomas;
    b.archivos.fallos["copiar"] = errorDePrueba(EIO);
    b.alertas.respuestas = {0};
    EXPECT_FALSE(b.instalador.moverSiHaceFalta());
    b.instalador.abrirInstalada(kOrigen, false, true);
    b.responderAperturas({false});
    ASSERT_EQ(b.alertas.mostradas.size(), 3u);
    for (auto [mostrada, esperada] : {std::pair{b.alertas.mostradas[0], c.pregunta},
                                      {b.alertas.mostradas[1], c.fallo},
                                      {b.alertas.mostradas[2], c.instalada}}) {
      EXPECT_EQ(mostrada.mensaje, esperada.mensaje);
      EXPECT_EQ(mostrada.informativo, esperada.informativo);
      EXPECT_EQ(mostrada.botones, esperada.botones);
    }
  }
}

TEST(AbrirInstalada, LimpiaLaDescargaYTermina) {
  struct Caso {
    const char* caso;
    std::string original;
    bool reintentar;
    std::function<void(Banco&)> preparar;
    std::vector<bool> aperturas;
    std::vector<std::string> bitacora;
  };
  auto nada = [](Banco&) {};
  const std::string dmg = "/Volumes/Kestra 2.1/Kestra.app";
  const Caso casos[] = {
      {"desde las descargas", kOrigen, false, nada, {true}, {"papelera {S}", "terminar"}},
      {"desde un DMG de solo lectura",
       dmg,
       false,
       [](Banco& b) { b.archivos.soloLecturas["/Volumes/Kestra 2.1"] = true; },
       {true},
       {"lanzar /bin/sh", "terminar"}},
      {"desde un DMG escribible",
       dmg,
       false,
       [](Banco& b) { b.archivos.soloLecturas["/Volumes/Kestra 2.1"] = false; },
       {true},
       {"terminar"}},
      {"desde un DMG de otro nombre",
       "/Volumes/Otro/Kestra.app",
       false,
       [](Banco& b) { b.archivos.soloLecturas["/Volumes/Otro"] = true; },
       {true},
       {"terminar"}},
      {"falla: nunca se tira la descarga",
       kOrigen,
       false,
       nada,
       {false},
       {"activar", kInstalada, "terminar"}},
      {"falla, se reinstala y vuelve a fallar",
       kOrigen,
       true,
       nada,
       {false, false},
       {"eliminar {N}", "copiar {S} {N}", kXattr, "mover {N} {D}", "abrir {D} nueva", "activar",
        kInstalada, "terminar"}},
      {"falla, se reinstala y abre",
       kOrigen,
       true,
       nada,
       {false, true},
       {"eliminar {N}", "copiar {S} {N}", kXattr, "mover {N} {D}", "abrir {D} nueva",
        "papelera {S}", "terminar"}},
      {"falla y la reinstalación también",
       kOrigen,
       true,
       [](Banco& b) { b.archivos.fallos["copiar"] = errorDePrueba(EIO); },
       {false},
       {"eliminar {N}", "copiar {S} {N}", "eliminar {N}", "activar", kInstalada, "terminar"}},
      {"el destino es la propia descarga: no va a la papelera",
       kOrigen,
       false,
       [](Banco& b) { b.modoPrueba("/home/ana/Downloads"); },
       {true},
       {"terminar"}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    c.preparar(b);
    b.instalador.abrirInstalada(c.original, c.reintentar, true);
    EXPECT_EQ(b.b, std::vector<std::string>{"abrir " + b.D() + " nueva"});
    b.b.clear();
    b.responderAperturas(c.aperturas);
    EXPECT_EQ(b.b, expandir(c.bitacora, b));
    if (!b.procesos.lanzados.empty()) {
      EXPECT_EQ(b.procesos.lanzados[0],
                (std::vector<std::string>{"/bin/sh", "-c",
                                          "sleep 3; /usr/bin/hdiutil detach \"$1\" -quiet", "sh",
                                          "/Volumes/Kestra 2.1"}));
    }
  }
}

TEST(Terminar, PideTerminarYSaleAlSegundoYMedio) {
  Banco b;
  b.instalador.terminar();
  EXPECT_EQ(b.b, std::vector<std::string>{"terminar"});
  ASSERT_EQ(b.global.trabajos.size(), 1u);
  EXPECT_EQ(b.global.trabajos[0].first, 1.5);
  try {
    b.global.correrTodo();
    ADD_FAILURE() << "the process did not exit";
  } catch (const Salida& s) {
    EXPECT_EQ(s.estado, 0);
  }
}

TEST(CerrarOtrasCopias, EsperaCincoSegundosAntesDeForzar) {
  struct Caso {
    const char* caso;
    std::vector<AplicacionEnEjecucion> corriendo;
    std::map<std::int32_t, double> tarda;
    std::vector<std::string> bitacora;
    double esperaMinima;
  };
  const Caso casos[] = {
      {"ninguna", {}, {}, {}, 0},
      {"solo la propia", {{100, "/x/Kestra.app"}}, {}, {}, 0},
      {"cierra al segundo", {{200, "/x/Kestra.app"}}, {{200, 1.0}}, {"terminar 200"}, 1.0},
      {"cierra justo antes del plazo", {{200, {}}}, {{200, 4.95}}, {"terminar 200"}, 4.95},
      {"no hace caso", {{201, "/y/Kestra.app"}}, {}, {"terminar 201", "forzar 201"}, 5.0},
      {"mezcla, la propia se salta",
       {{200, "/x/Kestra.app"}, {100, "/d/Kestra.app"}, {201, {}}},
       {{200, 1.0}},
       {"terminar 200", "terminar 201", "forzar 201"},
       5.0},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    b.aplicaciones.corriendo = c.corriendo;
    b.aplicaciones.tardaEnCerrar = c.tarda;
    const double inicio = b.reloj.t;
    b.instalador.cerrarOtrasCopias();
    EXPECT_EQ(b.b, c.bitacora);
    EXPECT_EQ(b.aplicaciones.identificadores, std::vector<std::string>{"com.ejemplo.Kestra"});
    // Never earlier than the deadline, and no longer than one slice after it.
    EXPECT_GE(b.reloj.t - inicio, c.esperaMinima);
    EXPECT_LT(b.reloj.t - inicio, c.esperaMinima + 0.1 + 1e-6);
    for (auto [pid, cuando] : b.aplicaciones.forzadaEn) EXPECT_GE(cuando - inicio, 5.0) << pid;
  }
}

TEST(Instalar, UnFalloNuncaTocaLaCopiaDelUsuario) {
  struct Caso {
    const char* caso;
    bool hayDestino;
    std::function<void(Banco&)> preparar;
    std::optional<Error> error;
    std::optional<std::string> destinoQueda;  // build left at the destination
  };
  auto nada = [](Banco&) {};
  const Caso casos[] = {
      {"nueva", false, nada, {}, "7"},
      {"reemplazo", true, nada, {}, "7"},
      {"restos de una vez anterior",
       true,
       [](Banco& b) { b.archivos.items[b.N() + "/basura"] = "x"; },
       {},
       "7"},
      {"la copia falla", true, [](Banco& b) { b.archivos.fallos["copiar"] = errorDePrueba(EIO); },
       errorDePrueba(EIO), "6"},
      {"xattr falla", true, [](Banco& b) { b.procesos.estado = 1; },
       Error::cocoa(Error::fileWriteNoPermission), "6"},
      {"xattr no arranca", true, [](Banco& b) { b.procesos.estado = errorDePrueba(ENOENT); },
       errorDePrueba(ENOENT), "6"},
      {"el reemplazo falla", true,
       [](Banco& b) { b.archivos.fallos["reemplazar"] = errorDePrueba(EBUSY); },
       errorDePrueba(EBUSY), "6"},
      {"mover falla",
       false,
       [](Banco& b) { b.archivos.fallos["mover"] = errorDePrueba(EXDEV); },
       errorDePrueba(EXDEV),
       {}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    if (c.hayDestino) b.archivos.paquete(b.D(), info("6"));
    c.preparar(b);
    EXPECT_EQ(b.instalador.instalar(kOrigen), c.error);
    EXPECT_FALSE(b.archivos.existe(b.N()));
    EXPECT_FALSE(b.archivos.existe(b.N() + "/basura"));
    auto info = b.archivos.leer(b.D() + "/Contents/Info.plist");
    EXPECT_EQ(info.has_value(), c.destinoQueda.has_value());
    if (info && c.destinoQueda) {
      EXPECT_EQ(std::string(info->begin(), info->end()),
                pruebas::infoPlist({{"CFBundleVersion", *c.destinoQueda}}));
    }
    EXPECT_TRUE(b.archivos.existe(kOrigen));
  }
}

TEST(Instalar, SinPermisoVaPorElAdministrador) {
  for (bool carpeta : {true, false}) {
    SCOPED_TRACE(carpeta ? "carpeta" : "paquete");
    Banco b;
    b.archivos.paquete(b.D(), info("6"));
    b.archivos.noEscribibles.insert(carpeta ? "/Applications" : b.D());
    b.administrador.alEjecutar = [&] { b.archivos.paquete(b.D(), info("7")); };
    EXPECT_EQ(b.instalador.instalar(kOrigen), std::nullopt);
    EXPECT_EQ(b.b, std::vector<std::string>{"administrador"});
    EXPECT_EQ(b.administrador.fuentes.at(0),
              Instalador::fuenteDeAdministrador(b.instalador.ordenDeAdministrador(kOrigen, {})));
  }
}

TEST(InstalarComoAdministrador, OrdenYGuionLetraPorLetra) {
  Banco b;
  const std::string orden =
      "/bin/rm -rf '/Applications/Kestra.app.nuevo' '/Applications/Kestra.app.viejo'"
      " && /usr/bin/ditto '/home/ana/Downloads/Kestra.app' '/Applications/Kestra.app.nuevo'"
      " && { /usr/bin/xattr -dr com.apple.quarantine '/Applications/Kestra.app.nuevo' || true; }"
      " && { [ ! -e '/Applications/Kestra.app' ] || /bin/mv '/Applications/Kestra.app' "
      "'/Applications/Kestra.app.viejo'; }"
      " && { /bin/mv '/Applications/Kestra.app.nuevo' '/Applications/Kestra.app' || { [ -e "
      "'/Applications/Kestra.app.viejo' ] && /bin/mv '/Applications/Kestra.app.viejo' "
      "'/Applications/Kestra.app'; /bin/rm -rf '/Applications/Kestra.app.nuevo'; false; }; }"
      " && /bin/rm -rf '/Applications/Kestra.app.viejo'";
  const std::string chown =
      " && { /usr/sbin/chown -R 'ana':staff '/Applications/Kestra.app' || true; }";
  EXPECT_EQ(b.instalador.ordenDeAdministrador(kOrigen, std::nullopt), orden);
  EXPECT_EQ(b.instalador.ordenDeAdministrador(kOrigen, ""), orden);
  EXPECT_EQ(b.instalador.ordenDeAdministrador(kOrigen, "ana"), orden + chown);
  EXPECT_EQ(Instalador::fuenteDeAdministrador(orden),
            "do shell script \"" + orden + "\" with administrator privileges");

  // Quotes and backslashes: shell quoting first, then the AppleScript string escapes.
  std::string rara = b.instalador.ordenDeAdministrador("/d/it's \"x\" \\y.app", "o'k");
  EXPECT_NE(rara.find(" && /usr/bin/ditto '/d/it'\\''s \"x\" \\y.app' "), std::string::npos);
  EXPECT_NE(rara.find("chown -R 'o'\\''k':staff "), std::string::npos);
  EXPECT_EQ(Instalador::fuenteDeAdministrador("a\\b \"c\" '\\''"),
            "do shell script \"a\\\\b \\\"c\\\" '\\\\''\" with administrator privileges");
}

TEST(InstalarComoAdministrador, ResultadosDelGuion) {
  struct Caso {
    const char* caso;
    ResultadoDeGuion guion;
    bool destinoQueda;
    std::optional<std::int64_t> codigo;
  };
  const Caso casos[] = {
      {"bien", {true, false, {}}, true, {}},
      {"bien pero sin destino", {true, false, {}}, false, Error::fileWriteNoPermission},
      {"cancelado", {true, true, -128}, true, Error::userCancelled},
      {"otro error", {true, true, 1}, true, Error::fileWriteNoPermission},
      {"error sin número", {true, true, {}}, true, Error::fileWriteNoPermission},
      {"guion que no se pudo crear", {false, false, {}}, true, Error::fileWriteNoPermission},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    if (c.destinoQueda) b.archivos.paquete(b.D(), info("6"));
    b.aplicaciones.corriendo = {{200, {}}};
    b.aplicaciones.tardaEnCerrar[200] = 0;
    b.administrador.resultado = c.guion;
    Resultado r = b.instalador.instalarComoAdministrador(kOrigen, "ana");
    EXPECT_EQ(r.has_value(), c.codigo.has_value());
    if (r && c.codigo) {
      EXPECT_EQ(*r, Error::cocoa(*c.codigo));
    }
    // The other copies close before the password request.
    EXPECT_EQ(b.b, (std::vector<std::string>{"terminar 200", "administrador"}));
  }
  Banco prueba;
  prueba.modoPrueba();
  prueba.aplicaciones.corriendo = {{200, {}}};
  prueba.instalador.instalarComoAdministrador(kOrigen, {});
  EXPECT_EQ(prueba.b, std::vector<std::string>{"administrador"});
}

TEST(Versiones, ReglaDelNumeroDeBuild) {
  using Lim = std::numeric_limits<std::int64_t>;
  const std::pair<const char*, std::optional<std::int64_t>> casos[] = {
      {"42", 42},
      {"+7", 7},
      {"-3", -3},
      {"007", 7},
      {"1.2", {}},
      {" 5", {}},
      {"5 ", {}},
      {"", {}},
      {"+", {}},
      {"-", {}},
      {"+-3", {}},
      {"--3", {}},
      {"0x10", {}},
      {"٣", {}},
      {"9223372036854775807", Lim::max()},
      {"9223372036854775808", {}},
      {"-9223372036854775808", Lim::min()},
      {"-9223372036854775809", {}},
  };
  for (auto [texto, numero] : casos) EXPECT_EQ(Instalador::numeroDeBuild(texto), numero) << texto;
}

TEST(Versiones, InstaladaYPropiaNuncaRompen) {
  struct Caso {
    const char* caso;
    bool macos;
    std::optional<std::string> info;
    std::optional<std::int64_t> version;
  };
  const Caso casos[] = {
      {"bien", true, info("12"), 12},
      {"sin Contents/MacOS", false, info("12"), {}},
      {"sin Info.plist", true, {}, {}},
      {"Info.plist dañado", true, "<plist><dict><key>CFBundleVersion", {}},
      {"no es un diccionario", true, "<plist><array><string>1</string></array></plist>", {}},
      {"versión numérica",
       true,
       "<plist><dict><key>CFBundleVersion</key><integer>3</integer></dict></plist>",
       {}},
      {"sin versión", true, infoPlist({{"CFBundleName", "Kestra"}}), {}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    b.archivos.items[b.D()];
    if (c.macos) b.archivos.items[b.D() + "/Contents/MacOS"];
    if (c.info) b.archivos.items[b.D() + "/Contents/Info.plist"] = *c.info;
    EXPECT_EQ(b.instalador.versionInstalada(), c.version);
  }
  const std::pair<std::optional<Diccionario>, std::int64_t> propias[] = {
      {Diccionario{{"CFBundleVersion", "9"}}, 9},
      {Diccionario{{"CFBundleVersion", 9}}, 0},
      {Diccionario{{"CFBundleVersion", "9b"}}, 0},
      {Diccionario{}, 0},
      {std::nullopt, 0},
  };
  for (const auto& [infoPropia, version] : propias) {
    Banco b;
    b.paquete.infoFija = infoPropia;
    EXPECT_EQ(b.instalador.versionPropia(), version);
  }
}

TEST(CopiaDeDestinoAbierta, ComparaPaquetesResueltos) {
  struct Caso {
    const char* caso;
    std::vector<AplicacionEnEjecucion> corriendo;
    bool abierta;
  };
  const std::string D = "/Applications/Kestra.app";
  const Caso casos[] = {
      {"ninguna", {}, false},
      {"solo la propia", {{100, D}}, false},
      {"sin paquete", {{200, {}}}, false},
      {"en otro sitio", {{200, "/home/ana/Kestra.app"}}, false},
      {"en el destino", {{200, {}}, {201, D}}, true},
      {"por un enlace", {{200, "/enlace/Kestra.app"}}, true},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    b.archivos.enlaces["/enlace/Kestra.app"] = D;
    b.aplicaciones.corriendo = c.corriendo;
    EXPECT_EQ(b.instalador.copiaDeDestinoAbierta(), c.abierta);
  }
}

}  // namespace
}  // namespace ovelmar
