// What the process that starts after a swap learns of it, and the check of the running
// application's own signature: processes of Foo against doubles, sharing the clock, the
// files and the user defaults.

#include <gtest/gtest.h>

#include <functional>

#include "Ovelmar/Actualizador.hpp"
#include "unidad/PlataformaDeDobles.hpp"

namespace ovelmar {
namespace {

using namespace pruebas;

const std::string kClave = "com.ej.Foo.actualizacion.ultima";
const Diccionario kPedido{
    {"url", "https://a.es"}, {"sha256", std::string(64, 'a')}, {"build", 43}, {"tamano", 9}};

struct Mundo {
  RelojManual reloj;
  Bitacora bitacora;
  ArchivosFalsos archivos{bitacora};
  PreferenciasEnMemoria preferencias;
};

// Records what the own-signature check asks for; its validity is set by the test.
class FirmaFija : public FirmaDeCodigo {
 public:
  std::int32_t validez = 0;
  std::vector<std::string> requisitos;  // texts compiled
  std::vector<std::uint32_t> banderas;  // of each validation
  std::int32_t crearCodigoEstatico(const std::string&, std::uint32_t,
                                   std::unique_ptr<CodigoEstatico>& c) override {
    c = std::make_unique<CodigoEstatico>();
    return 0;
  }
  std::int32_t crearRequisito(const std::string& texto, std::uint32_t,
                              std::unique_ptr<RequisitoDeCodigo>& r) override {
    requisitos.push_back(texto);
    r = std::make_unique<RequisitoDeCodigo>();
    return 0;
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
struct Proceso : PlataformaDeDobles {
  FirmaFija firma;
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};
  Actualizador act{p, reglas, instalador};
  Proceso(Mundo& m, std::int32_t pid, const char* build) {
    p.reloj = &m.reloj, p.archivos = &m.archivos, p.preferencias = &m.preferencias;
    p.firma = &firma, paquete.rutaFija = "/Applications/Foo.app";
    paquete.infoFija = Diccionario{
        {"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}, {"CFBundleVersion", build}};
    procesos.propio = pid, procesos.inicios[pid] = m.reloj.t;
  }
};

TEST(Recibo, LoCuentaElProcesoSiguienteCuandoElQueLoEscribioSeHaIdo) {
  using Paso = std::function<void(Mundo&, Proceso&)>;
  const Paso nada = [](Mundo&, Proceso&) {};
  auto poner = [](const char* clave, Valor v) {  // into the record
    return [=](Mundo& m, Proceso&) {
      Diccionario d = *m.preferencias.valores[kClave].diccionario();
      m.preferencias.valores[kClave] = Valor((d[clave] = v, d));
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
    ASSERT_TRUE(lector.act.empezar(kPedido));  // told until another update starts
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
}

}  // namespace
}  // namespace ovelmar
