#include "Ovelmar/Actualizador.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <tuple>

#include "unidad/PlataformaDeDobles.hpp"

namespace ovelmar {
namespace {

using namespace pruebas;

const std::string kCarpeta = "/home/u/.cache/com.ej.Foo/actualizacion";
const std::string kZip = kCarpeta + "/Foo-42.zip";
const std::string kClave = "com.ej.Foo.actualizacion.fallos";

Diccionario pedido(std::int64_t build, std::int64_t tamano = 100) {
  return {{"url", Valor("https://ej.com/Foo-" + std::to_string(build) + ".zip")},
          {"sha256", Valor(std::string(64, 'a'))},
          {"build", Valor(build)},
          {"tamano", Valor(tamano)}};
}

Diccionario fase(const char* f, Valor progreso, std::int64_t bajado) {
  return {{"fase", Valor(f)},
          {"progreso", progreso},
          {"bajado", Valor(bajado)},
          {"total", Valor(100)},
          {"build", Valor(42)}};
}

const Diccionario kEmpieza = fase("descargando", Valor(std::int64_t{0}), 0);
const Diccionario kComprobando = fase("comprobando", Valor(std::int64_t{1}), 100);

Diccionario fallo(const char* motivo, std::int64_t build) {
  return {{"fase", Valor("fallo")}, {"motivo", Valor(motivo)}, {"build", Valor(build)}};
}

// One updater with every port a double, installed at /Applications/Foo.app.
struct Banco : PlataformaDeDobles {
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};
  Actualizador act{p, reglas, instalador};
  std::vector<Diccionario> avisos;
  std::vector<Diccionario> estadosVistos;  // what the state read inside each observer

  Banco() {
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}};
    paquete.rutaFija = "/Applications/Foo.app";
    carpetas.cachesFija = "/home/u/.cache";
    notificaciones.observar("com.ej.Foo.actualizacion", [this](const Diccionario& d) {
      avisos.push_back(d);
      estadosVistos.push_back(act.estado());
    });
  }
  SesionManual& sesion() { return red.ultima(); }
  // The session's finished file for a body of `n` bytes, then the end of the transfer.
  void terminar(int estado, std::size_t n) {
    archivos.items["/tmp/cuerpo"] = std::string(n, 'z');
    sesion().terminado(estado, "/tmp/cuerpo");
    sesion().completado();
  }
};

TEST(Actualizador, RecorreLasFasesConLosDiccionariosExactos) {
  Banco b;
  ASSERT_TRUE(b.act.empezar(pedido(42)));
  SesionManual& s = b.sesion();
  const ConfiguracionDeSesion& c = s.configuracion;
  EXPECT_EQ(std::tuple(c.esperaDeDatos, c.esperaTotal, c.sinCache, c.esperarConectividad),
            std::tuple(60.0, 3600.0, true, false));
  ASSERT_EQ(s.tareas.size(), 1u);
  EXPECT_TRUE(s.ultima().empezada);
  EXPECT_EQ(s.ultima().opciones.limiteDeBytes, 100);
  EXPECT_EQ(s.ultima().opciones.archivoParcial, kCarpeta + "/Foo-42.parcial");

  s.progreso(50, 100);
  b.reloj.t += 0.25;
  s.progreso(150, -1);  // no length from the server: measured against tamano, capped at 1
  b.reloj.t += 0.25;
  s.progreso(30, 0);
  b.terminar(206, 100);

  const std::vector<Diccionario> esperados{kEmpieza, fase("descargando", Valor(0.5), 50),
                                           fase("descargando", Valor(1.0), 150),
                                           fase("descargando", Valor(0.3), 30), kComprobando};
  EXPECT_EQ(b.avisos, esperados);
  EXPECT_EQ(b.estadosVistos, esperados);  // the state is already new inside the observer
  EXPECT_EQ(b.archivos.items[kZip], std::string(100, 'z'));
  EXPECT_EQ(s.terminadas, 1);
  EXPECT_TRUE(b.registro.lineas.empty());

  // Without a caches folder the downloads go to the temporary folder.
  Banco sinCaches;
  sinCaches.carpetas.cachesFija = "";
  ASSERT_TRUE(sinCaches.act.empezar(pedido(42)));
  EXPECT_EQ(sinCaches.sesion().ultima().opciones.archivoParcial,
            "/tmp/com.ej.Foo/actualizacion/Foo-42.parcial");
}

TEST(Actualizador, LimitaLosAvisosDeProgresoACadaCuartoDeSegundo) {
  Banco b;
  ASSERT_TRUE(b.act.empezar(pedido(42)));
  const double base = b.reloj.t;
  // Seconds after the start, and whether progress then posts; 0.2 is the clock set back.
  const std::pair<double, bool> pasos[] = {{0.0, true},  {0.1, false},    {0.25, true},
                                           {0.2, false}, {0.4999, false}, {0.5, true}};
  for (auto [en, avisa] : pasos) {
    const std::size_t antes = b.avisos.size();
    b.reloj.t = base + en;
    b.sesion().progreso(10, 100);
    EXPECT_EQ(b.avisos.size() - antes, avisa ? 1u : 0u) << en;
  }
  // Not reset by a new download: its first callback 0.1 s later is held back.
  b.sesion().completado(ErrorDeRed{"caída", std::nullopt});
  ASSERT_TRUE(b.act.empezar(pedido(42)));
  const std::size_t antes = b.avisos.size();
  b.reloj.t = base + 0.6;
  b.sesion().progreso(10, 100);
  EXPECT_EQ(b.avisos.size(), antes);
}

TEST(Actualizador, UnaPeticionDuranteOtraSoloRepiteElEstado) {
  Banco b;
  ASSERT_TRUE(b.act.empezar(pedido(42)));
  b.sesion().progreso(40, 100);
  const Diccionario actual = b.act.estado();
  Diccionario otraUrl = pedido(42, 555), sinSha = pedido(42);
  otraUrl["url"] = Valor("https://otro.ej/x.zip");
  sinSha.erase("sha256");
  // The request, the answer and how many states it posts.
  const std::tuple<Diccionario, bool, std::size_t> casos[] = {
      {otraUrl, true, 1}, {pedido(43), false, 1}, {sinSha, false, 0}};
  for (const auto& [d, respuesta, avisos] : casos) {
    const std::size_t antes = b.avisos.size();
    EXPECT_EQ(b.act.empezar(d), respuesta);
    EXPECT_EQ(b.avisos.size() - antes, avisos);
    EXPECT_EQ(b.avisos.back(), actual);
    EXPECT_EQ(b.act.estado(), actual);
  }
  EXPECT_EQ(b.red.sesiones.size(), 1u);
  EXPECT_EQ(b.sesion().tareas.size(), 1u);
  b.terminar(200, 100);  // the request in progress is still build 42 of 100 bytes
  EXPECT_EQ(b.act.estado(), kComprobando);
}

// A delta from another build is refused without a word; a copy outside Applications says
// why, each time it asks. Neither downloads or touches the failure record.
TEST(Actualizador, UnaPeticionRechazadaNoDescargaNiCuenta) {
  const Valor registro(Diccionario{{"build", 7}, {"veces", 3}, {"ultimo", 1.5}});
  const std::string linea = "[actualización] build 42 sin instalar: fuera_de_aplicaciones";
  for (bool delta : {true, false}) {
    SCOPED_TRACE(delta ? "delta" : "fuera de Aplicaciones");
    Banco b;
    b.paquete.infoFija->emplace("CFBundleVersion", "40");
    b.preferencias.valores[kClave] = registro;
    Diccionario d = pedido(42);
    if (delta)
      d["base"] = 41;
    else
      b.paquete.rutaFija = "/home/u/Downloads/Foo.app";
    EXPECT_FALSE(b.act.empezar(d));
    EXPECT_FALSE(b.act.empezar(d));  // idle again afterwards: the same answer again
    EXPECT_EQ(b.avisos,
              std::vector<Diccionario>(delta ? 0 : 2, fallo("fuera_de_aplicaciones", 42)));
    EXPECT_EQ(b.registro.lineas, std::vector<std::string>(delta ? 0 : 2, linea));
    EXPECT_EQ(b.preferencias.escrituras, 0);
    EXPECT_EQ(b.preferencias.valores[kClave], registro);
    EXPECT_TRUE(b.red.sesiones.empty());
  }
  Banco b;  // a delta from the running build is downloaded under a name of its own
  b.paquete.infoFija->emplace("CFBundleVersion", "40");
  Diccionario delta = pedido(42);
  delta["base"] = 40;
  EXPECT_TRUE(b.act.empezar(delta));
  EXPECT_EQ(b.sesion().ultima().opciones.archivoParcial, kCarpeta + "/Foo-42.desde-40.parcial");
}

TEST(Actualizador, CuentaLosFallosPorBuildAunqueElRegistroEsteDanado) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  // What is stored first, then each build that fails and the count after it.
  const std::pair<std::optional<Valor>, std::vector<std::pair<std::int64_t, std::int64_t>>>
      casos[] = {
          {std::nullopt, {{42, 1}, {42, 2}, {42, 3}, {43, 1}}},
          {Valor(Diccionario{{"build", 42}}), {{42, 1}}},
          {Valor(Diccionario{{"build", "42"}, {"veces", 4}}), {{42, 5}}},
          {Valor(Diccionario{{"build", 42}, {"veces", -9}}), {{42, 1}}},
          {Valor(Diccionario{{"build", 42}, {"veces", Valor(kMax)}}), {{42, kMax}, {42, kMax}}},
          {Valor("basura"), {{42, 1}}},
          {Valor(Diccionario{{"build", 41}, {"veces", 9}}), {{42, 1}}},
      };
  for (const auto& [inicial, pasos] : casos) {
    SCOPED_TRACE(testing::PrintToString(pasos));
    Banco b;
    if (inicial) b.preferencias.valores[kClave] = *inicial;
    for (auto [build, veces] : pasos) {
      b.reloj.t += 10.5;
      ASSERT_TRUE(b.act.empezar(pedido(build)));
      b.sesion().completado(ErrorDeRed{"sin red", std::nullopt});
      EXPECT_EQ(b.preferencias.valores[kClave],
                Valor(Diccionario{{"build", Valor(build)},
                                  {"veces", Valor(veces)},
                                  {"ultimo", Valor(b.reloj.t * 1000.0)}}));
    }
  }
  // No session to download with counts as well.
  Banco b;
  b.red.sinSesiones = true;
  ASSERT_TRUE(b.act.empezar(pedido(42)));
  EXPECT_EQ(b.act.estado(), fallo("red", 42));
  EXPECT_EQ(b.preferencias.valores[kClave],
            Valor(Diccionario{{"build", 42}, {"veces", 1}, {"ultimo", b.reloj.t * 1000.0}}));
}

TEST(Actualizador, LasLlamadasTardiasDeUnaSesionCanceladaNoCambianNada) {
  Banco b;
  ASSERT_TRUE(b.act.empezar(pedido(42)));
  std::shared_ptr<SesionManual> vieja = b.red.sesiones.back();
  b.act.fallar("instalar", 42, true);
  EXPECT_EQ(vieja->canceladas, 1);
  const auto avisos = b.avisos.size();
  const auto escrituras = b.preferencias.escrituras;
  auto tardias = [&] {
    vieja->progreso(60, 100);
    b.archivos.items["/tmp/cuerpo"] = std::string(100, 'z');
    vieja->terminado(200, "/tmp/cuerpo");
    vieja->completado(ErrorDeRed{"cancelada", std::vector<std::uint8_t>{1, 2, 3}});
  };
  tardias();  // with nothing in progress
  ASSERT_TRUE(b.act.empezar(pedido(42)));
  tardias();                               // while another session runs
  EXPECT_EQ(b.avisos.size(), avisos + 1);  // only the start of the second request
  EXPECT_EQ(b.preferencias.escrituras, escrituras);
  EXPECT_FALSE(b.archivos.existe(kZip));
  EXPECT_FALSE(b.archivos.existe(kCarpeta + "/Foo-42.reanudar"));
  EXPECT_EQ(b.sesion().canceladas + b.sesion().terminadas, 0);
  EXPECT_EQ(b.act.estado(), kEmpieza);
}

TEST(Actualizador, SoloUnArchivoDelTamanoPedidoLlegaAComprobando) {
  // A complete archive already there is checked without a download, and again while it is.
  Banco listo;
  listo.archivos.items[kZip] = std::string(100, 'z');
  ASSERT_TRUE(listo.act.empezar(pedido(42)));
  ASSERT_TRUE(listo.act.empezar(pedido(42)));
  EXPECT_EQ(listo.avisos, (std::vector<Diccionario>{kEmpieza, kComprobando, kComprobando}));
  EXPECT_TRUE(listo.red.sesiones.empty());
  // One of another size is replaced only by a body of a status that has one (206 here);
  // none: that callback never comes.
  for (auto estado : {std::optional<int>(206), std::optional<int>(416), std::optional<int>()}) {
    SCOPED_TRACE(estado.value_or(0));
    Banco b;
    b.archivos.items[kZip] = std::string(60, 'v');
    ASSERT_TRUE(b.act.empezar(pedido(42)));
    if (estado)
      b.terminar(*estado, 100);
    else
      b.sesion().completado();
    const bool completo = estado == 206;
    EXPECT_EQ(b.act.estado(), completo ? kComprobando : fallo("red", 42));
    EXPECT_EQ(b.archivos.tamano(kZip), completo ? std::optional<std::int64_t>(100) : std::nullopt);
  }
}

TEST(Actualizador, ElCambioVaPorLaRutaQueDicenLosTresHechosYTerminaTrasOchoDecimas) {
  const std::string kApp = "/Applications/Foo.app", kNueva = kApp + ".nuevo";
  const std::string kCandidato = kCarpeta + "/Foo-42/Foo.app";
  struct Caso {
    const char* caso;
    std::function<void(Banco&)> preparar;
    const char* motivo;   // nullptr: "reabriendo"
    bool cambio = false;  // by the swap script, else by the reopen script
  };
  auto sinPermiso = [](Banco& b) { b.archivos.noEscribibles.insert("/Applications"); };
  const Caso casos[] = {
      {"todo escribible y del usuario", [](Banco&) {}, nullptr, true},
      {"carpeta sin permiso", sinPermiso, nullptr, false},
      {"la copia sin permiso", [&](Banco& b) { b.archivos.noEscribibles.insert(kApp); }, nullptr,
       false},
      {"Contents sin permiso",
       [&](Banco& b) { b.archivos.noEscribibles.insert(kApp + "/Contents"); }, nullptr, false},
      {"de otro usuario", [&](Banco& b) { b.archivos.duenos[kApp] = 0; }, nullptr, false},
      {"no hay instalada", [&](Banco& b) { b.archivos.items.erase(kApp); }, nullptr, false},
      {"no se mueve pero se copia",
       [](Banco& b) { b.archivos.fallos.emplace("mover", errorDePrueba(EXDEV)); }, nullptr, true},
      {"ni se mueve ni se copia",
       [](Banco& b) {
         b.archivos.fallos.emplace("mover", errorDePrueba(EXDEV));
         b.archivos.fallos.emplace("copiar", errorDePrueba(ENOSPC));
       },
       "instalar"},
      {"el guion no arranca", [](Banco& b) { b.procesos.lanzable = false; }, "instalar"},
      {"contraseña cancelada",
       [&](Banco& b) {
         sinPermiso(b), b.administrador.resultado = {true, true, -128};
       },
       "cancelado"},
      {"administrador falla",
       [&](Banco& b) {
         sinPermiso(b), b.administrador.resultado = {true, true, 1};
       },
       "instalar"},
      {"reabrir no arranca", [&](Banco& b) { sinPermiso(b), b.procesos.lanzable = false; },
       "instalar"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Banco b;
    b.archivos.paquete(kApp, "");
    b.archivos.paquete(kCandidato, "");
    b.archivos.items[kZip] = std::string(100, 'z');
    b.administrador.alEjecutar = [&] { b.archivos.paquete(kApp, ""); };  // what the command does
    c.preparar(b);
    ASSERT_TRUE(b.act.empezar(pedido(42)));  // the archive is there: straight to "comprobando"
    b.act.instalar(kCandidato, *ReglasDeActualizacion(b.p).leerPedido(pedido(42)));
    ASSERT_GE(b.avisos.size(), 3u);
    EXPECT_EQ(b.avisos[2], fase("instalando", Valor(std::int64_t{1}), 100));
    // Until the script has swapped, the new copy is held for the updater and the script;
    // on any other way out, it is let go.
    const Valor reserva =
        c.cambio ? Valor(Diccionario{{"procesos", Valor(Lista{Valor(100), Valor(201)})},
                                     {"ruta", Valor(kNueva)},
                                     {"desde", Valor(b.reloj.t)}})
                 : Valor(Diccionario{});
    EXPECT_EQ(b.preferencias.valores["com.ej.Foo.actualizacion.nuevaCopia"], reserva);
    if (c.motivo) {
      EXPECT_EQ(b.act.estado(), fallo(c.motivo, 42));
      EXPECT_FALSE(b.archivos.existe(kNueva));
      EXPECT_TRUE(b.archivos.existe(kApp) || std::string(c.caso) == "no hay instalada");
      EXPECT_TRUE(b.archivos.existe(kZip));  // kept for another try
      continue;
    }
    EXPECT_EQ(b.act.estado(), fase("reabriendo", Valor(std::int64_t{1}), 100));
    EXPECT_FALSE(b.archivos.existe(kCarpeta));
    using R = ReglasDeActualizacion;
    const std::string texto(c.cambio ? R::guionDeCambio : R::guionDeReabrir);
    std::vector<std::string> guion{"/bin/sh", "-c", texto, "sh", "100", kApp};
    if (c.cambio) guion.push_back(kNueva);
    EXPECT_EQ(b.procesos.lanzados, std::vector<std::vector<std::string>>{guion});
    EXPECT_EQ(b.archivos.existe(kNueva + "/Contents/MacOS"), c.cambio);
    auto terminado = [&] { return std::count(b.bitacora.begin(), b.bitacora.end(), "terminar"); };
    b.cola.avanzar(Actualizador::esperaHastaTerminar - 0.001);
    EXPECT_EQ(terminado(), 0);
    b.cola.avanzar(0.001);
    EXPECT_EQ(terminado(), 1);
  }
}

TEST(ActualizadorMuerte, UnaLlamadaDeLaSesionFueraDelHiloPrincipalDetieneElProceso) {
  Banco b;
  ASSERT_TRUE(b.act.empezar(pedido(42)));
  b.cola.principal = false;
  EXPECT_DEATH(b.sesion().progreso(1, 100), "main thread");
  EXPECT_DEATH(b.sesion().completado(), "main thread");
}

// --- What the process that starts after a swap learns of it, and the check of the running
// application's own signature: processes of Foo sharing the clock, the files and the user
// defaults. ---

const std::string kRecibo = "com.ej.Foo.actualizacion.ultima";

struct Mundo {
  RelojManual reloj;
  Bitacora bitacora;
  ArchivosFalsos archivos{bitacora};
  PreferenciasEnMemoria preferencias;
};

// Records what the own-signature check asks for; its validity is set by the test.
class FirmaFija : public FirmaDeCodigo {
 public:
  std::int32_t validez = 0, codigo = 0, requisito = 0;  // what each step answers
  std::vector<std::string> requisitos;                  // texts compiled
  std::vector<std::uint32_t> banderas;                  // of each validation
  std::int32_t crearCodigoEstatico(const std::string&, std::uint32_t,
                                   std::unique_ptr<CodigoEstatico>& c) override {
    if (!codigo) c = std::make_unique<CodigoEstatico>();
    return codigo;
  }
  std::int32_t crearRequisito(const std::string& texto, std::uint32_t,
                              std::unique_ptr<RequisitoDeCodigo>& r) override {
    requisitos.push_back(texto);
    if (!requisito) r = std::make_unique<RequisitoDeCodigo>();
    return requisito;
  }
  std::int32_t comprobarValidez(const CodigoEstatico&, std::uint32_t b, const RequisitoDeCodigo*,
                                std::optional<std::string>& error) override {
    banderas.push_back(b);
    if (validez != 0) error = "a sealed resource is missing or invalid: Contents/MacOS/Foo";
    return validez;
  }
};

// Foo `build` at /Applications, process `pid`, started now, on the world's clock, files and
// user defaults.
struct Proceso : Banco {
  FirmaFija firma;
  Proceso(Mundo& m, std::int32_t pid, const char* build) {
    p.reloj = &m.reloj;
    p.archivos = &m.archivos;
    p.preferencias = &m.preferencias;
    p.firma = &firma;
    paquete.infoFija->emplace("CFBundleVersion", build);
    procesos.propio = pid;
    procesos.inicios[pid] = m.reloj.t;
  }
};

TEST(Recibo, LoCuentaElProcesoSiguienteCuandoElQueLoEscribioSeHaIdo) {
  using Paso = std::function<void(Mundo&, Proceso&)>;
  const Paso nada = [](Mundo&, Proceso&) {};
  auto poner = [](const char* clave, Valor v) {  // into the record
    return [=](Mundo& m, Proceso&) {
      Diccionario d = *m.preferencias.valores[kRecibo].diccionario();
      m.preferencias.valores[kRecibo] = Valor((d[clave] = v, d));
    };
  };
  auto vivo = [](double inicio) {  // process 100 alive, started `inicio` s after the record
    return [=](Mundo&, Proceso& l) {
      l.procesos.vivos = {100}, l.procesos.inicios[100] += inicio - 2;
    };
  };
  // What, the build of the process that starts 2 s after the hand-over, what else, the answer.
  const std::tuple<const char*, const char*, Paso, const char*> casos[] = {
      {"swapped", "42", nada, "instalada"},
      {"rolled back, or ended before the script ran", "1", nada, "sin_instalar"},
      {"its process still running", "42", vivo(-60), nullptr},
      {"its number now another process's", "42", vivo(1), "instalada"},
      {"older than the running build", "43", nada, nullptr},
      {"of another application", "42", poner("identificador", "com.ej.Otra"), nullptr},
      {"damaged number", "42", poner("pid", Valor(std::int64_t{1} << 40)), nullptr},
  };
  for (const auto& [caso, build, paso, resultado] : casos) {
    SCOPED_TRACE(caso);
    Mundo m;
    m.archivos.paquete("/Applications/Foo.app", ""), m.archivos.paquete("/tmp/n/Foo.app", "");
    Proceso escritor(m, 100, "1");
    escritor.act.instalar("/tmp/n/Foo.app", {"https://ej.com/a.zip", std::string(64, 'a'), 42, 9});
    EXPECT_EQ(escritor.act.ultimaActualizacion(), Diccionario{});  // it has not gone yet
    m.reloj.t += 2;
    Proceso lector(m, 300, build);
    lector.procesos.inicios[100] = m.reloj.t;  // should it take number 100
    paso(m, lector);
    const Diccionario recibo{
        {"build", 42}, {"desde", 1}, {"resultado", resultado ? resultado : ""}, {"segundos", 2.0}};
    EXPECT_EQ(lector.act.ultimaActualizacion(), resultado ? recibo : Diccionario{});
    ASSERT_TRUE(lector.act.empezar(pedido(43)));  // told until another update starts
    EXPECT_EQ(lector.act.ultimaActualizacion(), Diccionario{});
  }
}

TEST(FirmaPropia, UnaVezPorProcesoEnSegundoPlanoYSinEstadoHastaTenerlo) {
  Mundo m;
  Proceso a(m, 100, "1");
  a.firma.validez = FirmaDeCodigo::errSecCSReqFailed;
  EXPECT_FALSE(a.act.firmaPropia().contains("estado"));
  EXPECT_FALSE(a.act.firmaPropia().contains("estado"));
  EXPECT_TRUE(a.firma.banderas.empty());    // nothing on the caller's thread
  EXPECT_EQ(a.global.trabajos.size(), 1u);  // one check for both calls
  a.global.correrTodo();
  EXPECT_EQ(a.firma.requisitos, std::vector{a.reglas.requisitoDeFirma("QZ7K4WM2XD")});
  EXPECT_EQ(a.firma.banderas, std::vector<std::uint32_t>{0x19});
  EXPECT_EQ(a.act.firmaPropia(),
            (Diccionario{
                {"valida", false},
                {"estado", FirmaDeCodigo::errSecCSReqFailed},
                {"descripcion", "a sealed resource is missing or invalid: Contents/MacOS/Foo"}}));
  // A step before the validation that fails answers with its own status.
  const auto flags = FirmaDeCodigo::errSecCSInvalidFlags;
  for (auto [codigo, requisito, dice] :
       {std::tuple{flags, 0, "no code object for " + *a.paquete.rutaFija},
        std::tuple{0, flags, std::string("the signing requirement does not compile")}}) {
    Proceso b(m, 101, "1");
    b.firma.codigo = codigo, b.firma.requisito = requisito;
    b.act.firmaPropia();
    b.global.correrTodo();
    EXPECT_EQ(b.act.firmaPropia(),
              (Diccionario{{"valida", false}, {"estado", flags}, {"descripcion", dice}}));
    EXPECT_TRUE(b.firma.banderas.empty());
  }
}

}  // namespace
}  // namespace ovelmar
