// The move to Applications against doubles: the flow's decisions, failures that must never
// cost the user's copy, the hand-over and the build-number rule.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <tuple>

#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Ovelmar/Rutas.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "unidad/PlataformaDeDobles.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

const std::string kOrigen = "/home/ana/Downloads/Kestra.app";

std::string info(const std::string& version) {
  return infoPlist({{"CFBundleVersion", version}});
}

// Every port the installer uses, as doubles, around one installer.
struct Banco : PlataformaDeDobles {
  Bitacora& b = bitacora;
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};

  Banco() {
    idiomas.lista = {"en-US"};
    paquete.rutaFija = kOrigen;
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ejemplo.Kestra"},
                                   {"CFBundleName", "Kestra"},
                                   {"CFBundleVersion", "7"}};
    carpetas.descargasFija = "/home/ana/Downloads";
    archivos.paquete(kOrigen, info("7"));
  }
  std::string D() { return instalador.destino(); }
  std::string N() { return D() + ".nuevo"; }
  // Ends the pending open requests in turn ('s' opens, 'n' fails), running the main queue
  // after each.
  void responderAperturas(const std::string& exitos) {
    for (std::size_t i = 0; i < exitos.size(); ++i) {
      ASSERT_LT(i, aplicaciones.aperturas.size()) << "no open request left";
      std::size_t antes = b.size();
      aplicaciones.aperturas[i](exitos[i] == 's' ? std::nullopt
                                                 : std::optional(errorDePrueba(EIO)));
      EXPECT_EQ(b.size(), antes) << "the continuation must wait for the main queue";
      cola.correr();
    }
  }
  // The log joined with " | ", the destination and the source written as {D} and {S}.
  std::string diario() {
    std::string r;
    for (const std::string& s : b) r += (r.empty() ? "" : " | ") + s;
    for (auto [valor, marca] : {std::pair{D(), "{D}"}, {kOrigen, "{S}"}})
      for (auto i = r.find(valor); i != std::string::npos; i = r.find(valor))
        r.replace(i, valor.size(), marca);
    return r;
  }
};

const std::string kPregunta = "activar | alerta Install Kestra in Applications?";
const std::string kCopia =
    "eliminar {D}.nuevo | copiar {S} {D}.nuevo | "
    "ejecutar /usr/bin/xattr -dr com.apple.quarantine {D}.nuevo";
const std::string kNoAbre = "activar | alerta Kestra is installed | terminar";

TEST(MoverSiHaceFalta, TablaDeDecisiones) {
  struct Caso {
    const char* caso;
    std::function<void(Banco&)> preparar;
    const char* instalada;  // build of the copy at the destination; null: none
    bool abierta;           // that copy is running
    int respuesta;          // to the prompt
    std::string aperturas;  // how each open request ends
    bool resultado;
    std::string bitacora;
    std::string salida = "";
  };
  auto nada = [](Banco&) {};
  auto prueba = [](Banco& b) { b.entorno.variables["KESTRAVON_DESTINO"] = "/tmp/destino"; };
  const Caso casos[] = {
      {"sin paquete", [](Banco& b) { b.paquete.rutaFija.reset(); }, nullptr, false, -1, "", false,
       ""},
      {"fuera de las descargas", [](Banco& b) { b.paquete.rutaFija = "/home/ana/Kestra.app"; },
       nullptr, false, -1, "", false, ""},
      {"nueva, Instalar; la apertura falla sin reintento", nada, nullptr, false, 0, "n", true,
       kPregunta + " | " + kCopia + " | mover {D}.nuevo {D} | abrir {D} nueva | " + kNoAbre},
      {"Ahora no", nada, nullptr, false, 1, "", false, kPregunta},
      {"alerta cerrada", nada, nullptr, false, -1, "", false, kPregunta},
      {"igual y abierta: al frente sin preguntar", nada, "7", true, -1, "n", true,
       "abrir {D} existente | " + kNoAbre},
      {"más nueva y abierta: igual", nada, "8", true, -1, "n", true,
       "abrir {D} existente | " + kNoAbre},
      {"abierta pero más vieja: se cierra y se reemplaza", nada, "6", true, 0, "", true,
       kPregunta + " | " + kCopia +
           " | terminar 201 | terminar 200 | reemplazar {D} {D}.nuevo | abrir {D} nueva"},
      {"igual sin abrir: no se copia, se reinstala si no abre", nada, "7", false, 0, "n", true,
       kPregunta + " | abrir {D} nueva | " + kCopia +
           " | reemplazar {D} {D}.nuevo | abrir {D} nueva"},
      {"la copia falla", [](Banco& b) { b.archivos.fallos["copiar"] = errorDePrueba(EIO); },
       nullptr, false, 0, "", false,
       kPregunta + " | eliminar {D}.nuevo | copiar {S} {D}.nuevo | eliminar {D}.nuevo | activar | "
                   "alerta Could not install it"},
      {"contraseña cancelada: sin alerta",
       [](Banco& b) {
         b.archivos.noEscribibles.insert("/Applications");
         b.administrador.resultado = {true, true, -128};
       },
       nullptr, false, 0, "", false, kPregunta + " | administrador"},
      {"modo de prueba: ni pregunta ni cierra otras copias", prueba, nullptr, true, -1, "", true,
       kCopia + " | mover {D}.nuevo {D} | terminar",
       "instalada en /tmp/destino/Kestra.app desde /home/ana/Downloads/Kestra.app\n"},
      {"modo de prueba, ya instalada", prueba, "7", false, -1, "", true, "terminar",
       "ya instalada en /tmp/destino/Kestra.app\n"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    c.preparar(b);
    if (c.instalada) b.archivos.paquete(b.D(), info(c.instalada));
    // The own process never counts; the open copy is seen through a link.
    b.aplicaciones.corriendo = {{100, b.D()}};
    if (c.abierta) {
      b.archivos.enlaces["/enlace/Kestra.app"] = b.D();
      b.aplicaciones.corriendo.insert(b.aplicaciones.corriendo.end(),
                                      {{201, {}}, {200, "/enlace/Kestra.app"}});
      b.aplicaciones.tardaEnCerrar = {{200, 0.3}, {201, 0.3}};
    }
    b.alertas.respuestas = {c.respuesta};
    testing::internal::CaptureStdout();
    bool resultado = b.instalador.moverSiHaceFalta();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.salida);
    b.responderAperturas(c.aperturas);
    EXPECT_EQ(resultado, c.resultado);
    EXPECT_EQ(b.diario(), c.bitacora);
  }
}

TEST(MoverSiHaceFalta, TextosEnLosDosIdiomas) {
  const std::pair<const char*, std::vector<Alerta>> casos[] = {
      {"en-GB",
       {{"Install Kestra in Applications?",
         "Kestra is running from the download. It needs to live in Applications to keep your "
         "session and receive updates. It takes a second.",
         {"Install", "Not now"}},
        {"Could not install it",
         "Drag Kestra to the Applications folder yourself and open it from there.",
         {}},
        {"Kestra is installed", "Open it from the Applications folder.", {}}}},
      {"es-ES",
       {{"¿Instalo Kestra en Aplicaciones?",
         "Kestra se está abriendo desde la descarga. Tiene que estar en Aplicaciones para "
         "conservar tu sesión y recibir las actualizaciones. Tarda un segundo.",
         {"Instalar", "Ahora no"}},
        {"No se ha podido instalar",
         "Arrastra tú Kestra a la carpeta Aplicaciones y ábrela desde allí.",
         {}},
        {"Kestra ya está instalada", "Ábrela desde la carpeta Aplicaciones.", {}}}},
  };
  for (const auto& [idioma, alertas] : casos) {
    SCOPED_TRACE(idioma);
    Banco b;
    b.idiomas.lista = {idioma};
    b.archivos.fallos["copiar"] = errorDePrueba(EIO);
    b.alertas.respuestas = {0};
    EXPECT_FALSE(b.instalador.moverSiHaceFalta());
    b.instalador.abrirInstalada(kOrigen, false, true);
    b.responderAperturas("n");
    auto campos = [](const Alerta& a) { return std::tuple(a.mensaje, a.informativo, a.botones); };
    ASSERT_EQ(b.alertas.mostradas.size(), alertas.size());
    for (std::size_t i = 0; i < alertas.size(); ++i)
      EXPECT_EQ(campos(b.alertas.mostradas[i]), campos(alertas[i]));
  }
}

TEST(AbrirInstalada, ExpulsaReintentaUnaVezYTerminaSinTirarLaInstalada) {
  struct Caso {
    const char* caso;
    std::string original;
    bool reintentar;
    std::function<void(Banco&)> preparar;
    std::string aperturas;
    std::string bitacora;
  };
  auto nada = [](Banco&) {};
  const Caso casos[] = {
      {"desde un DMG de solo lectura", "/Volumes/Kestra 2.1/Kestra.app", false,
       [](Banco& b) { b.archivos.soloLecturas["/Volumes/Kestra 2.1"] = true; }, "s",
       "lanzar /bin/sh | terminar"},
      {"falla, se reinstala y vuelve a fallar", kOrigen, true, nada, "nn",
       kCopia + " | mover {D}.nuevo {D} | abrir {D} nueva | " + kNoAbre},
      {"falla y la reinstalación también", kOrigen, true,
       [](Banco& b) { b.archivos.fallos["copiar"] = errorDePrueba(EIO); }, "n",
       "eliminar {D}.nuevo | copiar {S} {D}.nuevo | eliminar {D}.nuevo | " + kNoAbre},
      {"el destino es la propia descarga: no va a la papelera", kOrigen, false,
       [](Banco& b) { b.entorno.variables["KESTRAVON_DESTINO"] = "/home/ana/Downloads"; }, "s",
       "terminar"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    c.preparar(b);
    b.instalador.abrirInstalada(c.original, c.reintentar, true);
    EXPECT_EQ(b.diario(), "abrir {D} nueva");
    b.b.clear();
    b.responderAperturas(c.aperturas);
    EXPECT_EQ(b.diario(), c.bitacora);
    // The terminate request goes with an exit 1.5 seconds later, whatever happened.
    ASSERT_EQ(b.global.trabajos.size(), 1u);
    EXPECT_EQ(b.global.trabajos[0].first, 1.5);
    EXPECT_THROW(b.global.correrTodo(), Salida);
    EXPECT_EQ(b.b.back(), "salir 0");
  }
  Banco b;  // the eject command, word for word
  b.instalador.expulsarMasTarde("/Volumes/Kestra 2.1");
  EXPECT_EQ(b.procesos.lanzados,
            (std::vector<std::vector<std::string>>{
                {"/bin/sh", "-c", "sleep 3; /usr/bin/hdiutil detach \"$1\" -quiet", "sh",
                 "/Volumes/Kestra 2.1"}}));
}

TEST(CerrarOtrasCopias, EsperaCincoSegundosAntesDeForzar) {
  struct Caso {
    const char* caso;
    double tarda200, tarda201;  // negative: ignores the polite request
    std::string bitacora;
    double espera;
  };
  const Caso casos[] = {
      {"cierran al segundo", 1.0, 0.5, "terminar 200 | terminar 201", 1.0},
      {"una cierra justo antes del plazo", 4.95, 0.5, "terminar 200 | terminar 201", 4.95},
      {"una no hace caso", 1.0, -1, "terminar 200 | terminar 201 | forzar 201", 5.0},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    // The own process (100) is never asked.
    b.aplicaciones.corriendo = {{200, "/x/Kestra.app"}, {100, "/d/Kestra.app"}, {201, {}}};
    b.aplicaciones.tardaEnCerrar[200] = c.tarda200;
    if (c.tarda201 >= 0) b.aplicaciones.tardaEnCerrar[201] = c.tarda201;
    const double inicio = b.reloj.t;
    b.instalador.cerrarOtrasCopias();
    EXPECT_EQ(b.diario(), c.bitacora);
    EXPECT_EQ(b.aplicaciones.identificadores, std::vector<std::string>{"com.ejemplo.Kestra"});
    // Never earlier than needed, and no longer than one slice after it.
    EXPECT_GE(b.reloj.t - inicio, c.espera);
    EXPECT_LT(b.reloj.t - inicio, c.espera + 0.1 + 1e-6);
    for (auto [pid, cuando] : b.aplicaciones.forzadaEn) EXPECT_GE(cuando - inicio, 5.0) << pid;
  }
}

TEST(Instalar, UnFalloNuncaTocaLaCopiaDelUsuario) {
  const Error eio = errorDePrueba(EIO);
  // The step that fails, what xattr answers, and the error that comes back.
  const std::tuple<std::string, std::variant<int, Error>, Error> casos[] = {
      {"mover", 0, eio},  // with no copy at the destination yet
      {"xattr", 1, Error::cocoa(Error::fileWriteNoPermission)},
      {"xattr", eio, eio}};
  for (const auto& [paso, xattr, error] : casos) {
    SCOPED_TRACE(paso);
    Banco b;
    const bool hayDestino = paso != "mover";
    if (hayDestino) b.archivos.paquete(b.D(), info("6"));
    b.archivos.items[b.N() + "/basura"] = "x";
    if (paso != "xattr") b.archivos.fallos[paso] = eio;
    b.procesos.estado = xattr;
    EXPECT_EQ(b.instalador.instalar(kOrigen), error);
    EXPECT_FALSE(b.archivos.existe(b.N()));
    EXPECT_FALSE(b.archivos.existe(b.N() + "/basura"));
    EXPECT_EQ(b.archivos.items[b.D() + "/Contents/Info.plist"], hayDestino ? info("6") : "");
    EXPECT_TRUE(b.archivos.existe(kOrigen));
  }
}

TEST(NuevaCopia, SeRespetaMientrasOtroLaUsaYSeLimpiaSiNadieLaUsa) {
  struct Caso {
    const char* caso;
    double vivoHasta;        // seconds the holder of the record lives; 0: no record
    bool borrable;           // whether the leftover new copy can be removed
    double espera;           // seconds the install waits
    const char* nuevaUsada;  // suffix of the new copy the install copies to
  };
  const Caso casos[] = {
      {"resto sin reserva", 0, true, 0, ".nuevo"},
      {"resto que no se deja borrar", 0, false, 0, ".nuevo-2"},
      {"cambio pendiente: espera a que acabe", 3, true, 3, ".nuevo"},
      {"reserva caducada aunque el proceso siga", 1e9, true, Instalador::vigenciaDeReserva,
       ".nuevo"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    b.entorno.variables["KESTRAVON_DESTINO"] = "/tmp/destino";
    b.archivos.items[b.N()], b.archivos.items[b.N() + "/Contents"];
    if (!c.borrable) b.archivos.imborrables.insert(b.N());
    if (c.vivoHasta > 0) {
      b.procesos.vivos = {300};
      b.instalador.reservarNuevaCopia(b.N(), {100, 300});  // the updater and its script
      if (c.vivoHasta < 1e9) b.cola.enviarDespues(c.vivoHasta, [&] { b.procesos.vivos.clear(); });
    }
    // A start from the destination removes nothing that is held.
    b.paquete.rutaFija = b.D();
    EXPECT_FALSE(b.instalador.moverSiHaceFalta());
    EXPECT_EQ(b.archivos.existe(b.N()), c.vivoHasta > 0 || !c.borrable);

    const double inicio = b.reloj.t;
    b.instalador.reservarNuevaCopia(b.N(), {});  // what a crash leaves
    if (c.vivoHasta > 0) b.instalador.reservarNuevaCopia(b.N(), {100, 300});
    EXPECT_EQ(b.instalador.instalar(kOrigen), std::nullopt);
    EXPECT_NEAR(b.reloj.t - inicio, c.espera, 0.11);
    EXPECT_TRUE(b.archivos.existe(b.D() + "/Contents/Info.plist"));
    EXPECT_NE(b.diario().find(std::string("copiar {S} {D}") + c.nuevaUsada + " |"),
              std::string::npos);
  }
}

// The administrator command for kOrigen without an owner, as the shell receives it.
const std::string kOrdenDeAdministrador =
    "/bin/rm -rf '/Applications/Kestra.app.nuevo' '/Applications/Kestra.app.viejo'"
    " && /usr/bin/ditto '/home/ana/Downloads/Kestra.app' '/Applications/Kestra.app.nuevo'"
    " && { /usr/bin/xattr -dr com.apple.quarantine '/Applications/Kestra.app.nuevo' || true; }"
    " && { [ ! -e '/Applications/Kestra.app' ] || /bin/mv '/Applications/Kestra.app' "
    "'/Applications/Kestra.app.viejo'; }"
    " && { /bin/mv '/Applications/Kestra.app.nuevo' '/Applications/Kestra.app' || { [ -e "
    "'/Applications/Kestra.app.viejo' ] && /bin/mv '/Applications/Kestra.app.viejo' "
    "'/Applications/Kestra.app'; /bin/rm -rf '/Applications/Kestra.app.nuevo'; false; }; }"
    " && /bin/rm -rf '/Applications/Kestra.app.viejo'";

TEST(InstalarComoAdministrador, SinPermisoVaPorElGuionYSoloCuentaLaCopiaHecha) {
  struct Caso {
    const char* caso;
    bool vieja;  // an older copy at the destination, not writable; else the folder is not
    ResultadoDeGuion guion;
    bool instala;  // what the elevated command does
  };
  const Caso casos[] = {
      {"la carpeta no se puede escribir", false, {}, true},
      {"la copia no se puede escribir", true, {}, true},
      {"sin error pero sin copia", false, {}, false},
      {"error sin número", true, {true, true, std::nullopt}, false},
      {"guion que no se pudo crear: la vieja no pasa por nueva", true, {false, false, {}}, false},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    if (c.vieja) b.archivos.paquete(b.D(), info("6"));
    b.archivos.noEscribibles.insert(c.vieja ? b.D() : "/Applications");
    b.aplicaciones.corriendo = {{200, {}}};
    b.aplicaciones.tardaEnCerrar[200] = 0;
    b.administrador.resultado = c.guion;
    if (c.instala) b.administrador.alEjecutar = [&] { b.archivos.paquete(b.D(), info("7")); };
    EXPECT_EQ(b.instalador.instalar(kOrigen),
              c.instala ? std::nullopt : Resultado(Error::cocoa(Error::fileWriteNoPermission)));
    // The other copies close before the password request.
    EXPECT_EQ(b.diario(), "terminar 200 | administrador");
    // The command holds no backslash or double quote, so it is quoted as it stands.
    EXPECT_EQ(b.administrador.fuentes.at(0),
              "do shell script \"" + kOrdenDeAdministrador + "\" with administrator privileges");
  }
  EXPECT_EQ(Banco().instalador.ordenDeAdministrador(kOrigen, "o'k"),
            kOrdenDeAdministrador +
                " && { /usr/sbin/chown -R 'o'\\''k':staff '/Applications/Kestra.app' || true; }");
  Banco prueba;
  prueba.entorno.variables["KESTRAVON_DESTINO"] = "/tmp/destino";
  prueba.aplicaciones.corriendo = {{200, {}}};
  prueba.instalador.instalarComoAdministrador(kOrigen, {});
  EXPECT_EQ(prueba.diario(), "administrador");
}

TEST(Versiones, ReglaDelNumeroDeBuildYLecturasQueNuncaRompen) {
  using Lim = std::numeric_limits<std::int64_t>;
  const std::pair<const char*, std::int64_t> numeros[] = {{"42", 42},
                                                          {"+7", 7},
                                                          {"-3", -3},
                                                          {"007", 7},
                                                          {"9223372036854775807", Lim::max()},
                                                          {"-9223372036854775808", Lim::min()}};
  for (auto [texto, numero] : numeros) EXPECT_EQ(Instalador::numeroDeBuild(texto), numero) << texto;
  for (const char* texto : {"1.2", " 5", "5 ", "", "+", "-", "+-3", "--3", "0x10", "٣",
                            "9223372036854775808", "-9223372036854775809"})
    EXPECT_EQ(Instalador::numeroDeBuild(texto), std::nullopt) << texto;
  // The Info.plist at the destination (null: none) and the build read from it.
  const std::pair<const char*, std::optional<std::int64_t>> casos[] = {
      {nullptr, std::nullopt},
      {"<plist><array><string>1</string></array></plist>", std::nullopt},
      {"<plist><dict><key>CFBundleVersion</key><integer>3</integer></dict></plist>", std::nullopt}};
  for (auto [texto, version] : casos) {
    Banco b;
    b.archivos.items[b.D() + "/Contents/MacOS"];
    if (texto) b.archivos.items[b.D() + "/Contents/Info.plist"] = texto;
    EXPECT_EQ(b.instalador.versionInstalada(), version) << (texto ? texto : "(none)");
  }
  Banco sinEjecutable;  // a folder without Contents/MacOS is no application
  sinEjecutable.archivos.items[sinEjecutable.D() + "/Contents/Info.plist"] = info("12");
  EXPECT_EQ(sinEjecutable.instalador.versionInstalada(), std::nullopt);
  const std::pair<std::optional<Diccionario>, std::int64_t> propias[] = {
      {Diccionario{{"CFBundleVersion", 9}}, 0},
      {Diccionario{{"CFBundleVersion", "9b"}}, 0},
      {std::nullopt, 0}};
  for (const auto& [infoPropia, version] : propias) {
    Banco b;
    b.paquete.infoFija = infoPropia;
    EXPECT_EQ(b.instalador.versionPropia(), version);
  }
}

// --- Where the application belongs and whether the running copy must move. ---

TEST(Lugar, ElDestinoYElModoDePruebaSalenDeLaVariable) {
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
    Banco b;
    if (c.valor) b.entorno.variables["KESTRAVON_DESTINO"] = *c.valor;
    EXPECT_EQ(b.instalador.modoPrueba(), c.prueba);
    EXPECT_EQ(b.D(), rutas::unir(c.dir, "Kestra.app"));
    b.entorno.variables["KESTRAVON_DESTINO"] = "/otra";  // fixed at the first use
    EXPECT_EQ(b.instalador.destinoDir(), c.dir);
  }
}

TEST(Lugar, DescargasEsTodoLoQueCuelgaDeLaCarpetaResueltaPeroNoElla) {
  Banco b;
  b.carpetas.descargasFija = "/home/ana/Enlace";
  b.archivos.enlaces["/home/ana/Enlace"] = "/home/ana/Downloads";
  // The path asked about is taken as given: not resolved.
  b.archivos.enlaces["/home/ana/Enlace/App.app"] = "/home/ana/Downloads/App.app";
  const std::pair<const char*, bool> casos[] = {
      {"/home/ana/Downloads/App.app", true},  {"/home/ana/Downloads", false},
      {"/home/ana/Downloads/", false},        {"/home/ana/Downloads//", false},
      {"/home/ana/Downloads/App.app/", true}, {"/home/ana/Downloads2/App.app", false},
      {"/home/ana/Enlace/App.app", false},
  };
  for (const auto& [ruta, esperado] : casos)
    EXPECT_EQ(b.instalador.esDescargas(ruta), esperado) << ruta;
  b.carpetas.descargasFija.reset();
  EXPECT_FALSE(b.instalador.esDescargas("/home/ana/Downloads/App.app"));
}

TEST(Lugar, ElVolumenDelDiscoSoloSiEsDeSoloLecturaYLlevaElNombre) {
  Banco b, sinNombre;
  for (Banco* x : {&b, &sinNombre}) {
    x->archivos.soloLecturas = {{"/Volumes/Kestra", true},
                                {"/Volumes/Kestra 2.1", true},
                                {"/Volumes/Otro", true},
                                {"/Volumes/KestraEscribible", false},
                                {"/media/ana/Kestra", true}};
    x->carpetas.raices = {"/media/ana/", "/run/media/ana/"};
  }
  struct Caso {
    const char* ruta;
    std::optional<std::string> volumen;
  };
  const Caso casos[] = {
      {"/Volumes/Kestra 2.1/Kestra.app", "/Volumes/Kestra 2.1"},
      {"/Volumes/Kestra", "/Volumes/Kestra"},
      {"/Volumes/KestraEscribible/Kestra.app", std::nullopt},
      {"/Volumes/Otro/Kestra.app", std::nullopt},
      {"/Volumes/", std::nullopt},
      {"/home/ana/Kestra.app", std::nullopt},
      {"/media/ana/Kestra/Kestra.app", "/media/ana/Kestra"},
      {"/run/media/ana/Kestra/Kestra.app", std::nullopt},  // its state is unknown
  };
  for (const Caso& c : casos) EXPECT_EQ(b.instalador.volumenDelDMG(c.ruta), c.volumen) << c.ruta;
  sinNombre.paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ejemplo.Kestra"}};
  EXPECT_EQ(sinNombre.instalador.volumenDelDMG("/Volumes/Kestra/Kestra.app"), std::nullopt);
}

TEST(Lugar, HayQueMoverDesdeVolumenesYCopiasTrasladadas) {
  Banco b;
  b.carpetas.raices = {"/media/ana/"};
  struct Caso {
    const char* original;
    const char* actual;
    bool mover;
  };
  const Caso casos[] = {
      {"/Volumes/Copia/Aplicaciones/Kestra.app", "/Volumes/Copia/Aplicaciones/Kestra.app", true},
      {"/media/ana/Copia/Kestra.app", "/media/ana/Copia/Kestra.app", true},
      {"/Applications/./Kestra.app", "/x/AppTranslocation/y/Kestra.app", false},
      {"/Applications/../Applications/Kestra.app", "/Applications/Kestra.app", false},
  };
  for (const Caso& c : casos)
    EXPECT_EQ(b.instalador.hayQueMover(c.original, c.actual), c.mover) << c.original;
  // The folder of the variable counts as the destination folder as well.
  Banco prueba;
  prueba.entorno.variables["KESTRAVON_DESTINO"] = "/tmp/prueba/";
  EXPECT_FALSE(prueba.instalador.hayQueMover("/tmp/prueba/Kestra.app", "/Volumes/X/Kestra.app"));
}

// Stands in for the Security library's lookup: answers from a table.
std::map<std::string, std::string> originales;
char* buscarOriginal(const char* ruta, void** error) {
  EXPECT_EQ(error, nullptr);
  auto it = originales.find(ruta);
  return it == originales.end() ? nullptr : strdup(it->second.c_str());
}

TEST(Lugar, LaRutaOriginalDeUnaCopiaTrasladada) {
  const std::string trasladada = "/private/var/AppTranslocation/1234/d/Kestra.app";
  originales = {{trasladada, "/Apps/Kestra.app"}};
  Banco b;
  b.archivos.enlaces["/Apps/Kestra.app"] = "/Applications/Kestra.app";
  b.carga.simbolos["SecTranslocateCreateOriginalPathForURL"] =
      reinterpret_cast<void*>(&buscarOriginal);
  Instalador& i = b.instalador;
  // Not translocated: the library is not even loaded.
  EXPECT_EQ(i.rutaOriginal("/home/ana/Kestra.app"), "/home/ana/Kestra.app");
  EXPECT_TRUE(b.carga.abiertas.empty());
  // Without the library or the function, the copy is its own original.
  EXPECT_EQ(i.rutaOriginal(trasladada), trasladada);
  EXPECT_EQ(b.carga.abiertas,
            std::vector<std::string>{"/System/Library/Frameworks/Security.framework/Security"});
  b.carga.hayBiblioteca = true;
  // Found: its links resolved.
  EXPECT_EQ(i.rutaOriginal(trasladada), "/Applications/Kestra.app");
  // The lookup finds nothing: unchanged, and such a copy must move.
  const std::string perdida = "/private/var/AppTranslocation/9/d/Kestra.app";
  EXPECT_EQ(i.rutaOriginal(perdida), perdida);
  EXPECT_TRUE(i.hayQueMover(perdida, perdida));
  b.carga.simbolos.clear();
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
