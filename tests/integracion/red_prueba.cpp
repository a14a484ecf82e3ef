// The real download session against a real HTTPS server on 127.0.0.1.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "Plataforma/linux/ColaPrincipalLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "Plataforma/linux/RedLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/ServidorHttps.hpp"

namespace ovelmar::pruebas {
namespace {

namespace fs = std::filesystem;

std::string bytesAlAzar(std::size_t n, unsigned semilla) {
  std::mt19937 azar(semilla);
  std::string r(n, '\0');
  for (char& c : r) c = static_cast<char>(azar());
  return r;
}

std::string leerArchivo(const std::string& ruta) {
  std::ifstream f(ruta, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Everything the session tells its delegate, in order.
class Anotador : public DelegadoDeDescarga {
 public:
  explicit Anotador(ColaPrincipal& cola) : cola_(cola) {}

  std::vector<std::string> orden;
  std::vector<std::array<std::int64_t, 3>> avances;
  bool todoEnElHiloPrincipal = true;
  std::optional<std::string> contenido;  // the finished file, read inside the callback
  std::string ubicacion;
  std::optional<int> respuesta;
  bool completo = false;
  std::optional<ErrorDeRed> error;

  void progreso(SesionDeDescarga&, TareaDeDescarga&, std::int64_t escritos, std::int64_t total,
                std::int64_t esperados) override {
    anotar("progreso");
    avances.push_back({escritos, total, esperados});
  }
  void terminado(SesionDeDescarga&, TareaDeDescarga& tarea, const std::string& u) override {
    anotar("terminado");
    ubicacion = u;
    contenido = leerArchivo(u);
    respuesta = tarea.respuesta();
  }
  void completado(SesionDeDescarga&, TareaDeDescarga& tarea,
                  const std::optional<ErrorDeRed>& e) override {
    anotar("completado");
    completo = true;
    error = e;
    if (!respuesta) respuesta = tarea.respuesta();
  }

 private:
  void anotar(const char* que) {
    orden.push_back(que);
    todoEnElHiloPrincipal = todoEnElHiloPrincipal && cola_.esHiloPrincipal();
  }
  ColaPrincipal& cola_;
};

class Red : public testing::Test {
 protected:
  Red() { red.confiarEn(servidor.ca()); }

  // Runs the main loop in short slices until `listo` or a generous deadline.
  template <typename F>
  void correrHasta(F listo, double segundos = 30) {
    auto fin = std::chrono::steady_clock::now() + std::chrono::duration<double>(segundos);
    while (!listo() && std::chrono::steady_clock::now() < fin) cola.correrDurante(0.02);
  }

  std::shared_ptr<SesionDeDescarga> descargar(Anotador& a, const std::string& ruta,
                                              const std::vector<std::uint8_t>* datos = nullptr) {
    auto sesion = red.crearSesion(ConfiguracionDeSesion{}, a);
    auto tarea = datos ? sesion->tareaConReanudacion(*datos, servidor.url(ruta), opciones)
                       : sesion->tarea(servidor.url(ruta), opciones);
    tarea->empezar();
    correrHasta([&] { return a.completo; });
    sesion->terminarEInvalidar();
    return sesion;
  }

  // The error of a transfer broken off at `corte` bytes, with its resume data.
  ErrorDeRed cortada(const std::string& ruta, const std::string& cuerpo, std::int64_t corte) {
    servidor.publicar(ruta, {.cuerpo = cuerpo, .cortarTras = corte});
    Anotador a(cola);
    descargar(a, ruta);
    EXPECT_TRUE(a.completo && a.error && a.error->datosDeReanudacion);
    EXPECT_FALSE(a.contenido);
    EXPECT_EQ(fs::file_size(opciones.archivoParcial), static_cast<std::uintmax_t>(corte));
    return a.error.value_or(ErrorDeRed{});
  }

  std::optional<std::string> cabecera(std::size_t peticion, const std::string& nombre) {
    auto p = servidor.peticiones();
    if (peticion >= p.size()) return std::nullopt;
    auto it = p[peticion].cabeceras.find(nombre);
    if (it == p[peticion].cabeceras.end()) return std::nullopt;
    return it->second;
  }

  CarpetaTemporal carpeta;
  ServidorHttps servidor{carpeta.ruta()};
  ColaPrincipalLinux cola;
  PropiedadesLinux propiedades;
  RedLinux red{cola, propiedades};
  OpcionesDeTarea opciones{.archivoParcial = carpeta / "Foo-42.parcial"};
  const std::string cuerpo = bytesAlAzar(700 * 1024 + 7, 1);
};

TEST_F(Red, DescargaCompletaEnOrdenYEnElHiloPrincipal) {
  servidor.publicar("/Foo.zip", {.cuerpo = cuerpo});
  Anotador a(cola);
  descargar(a, "/Foo.zip");

  ASSERT_TRUE(a.completo);
  EXPECT_FALSE(a.error);
  EXPECT_TRUE(a.todoEnElHiloPrincipal);
  ASSERT_GE(a.orden.size(), 3u);
  EXPECT_EQ(a.orden[a.orden.size() - 2], "terminado");
  EXPECT_EQ(a.orden.back(), "completado");
  for (std::size_t i = 0; i + 2 < a.orden.size(); ++i) EXPECT_EQ(a.orden[i], "progreso");
  // Progress adds up, never goes back, and ends at the whole body.
  std::int64_t suma = 0, anterior = 0;
  for (auto [escritos, total, esperados] : a.avances) {
    suma += escritos;
    EXPECT_EQ(total, suma);
    EXPECT_GT(total, anterior);
    EXPECT_EQ(esperados, static_cast<std::int64_t>(cuerpo.size()));
    anterior = total;
  }
  EXPECT_EQ(anterior, static_cast<std::int64_t>(cuerpo.size()));
  EXPECT_EQ(a.respuesta, 200);
  EXPECT_EQ(a.contenido, cuerpo);
  EXPECT_EQ(a.ubicacion, opciones.archivoParcial);
  EXPECT_FALSE(fs::exists(a.ubicacion)) << "the finished file is removed after the callback";
  EXPECT_EQ(cabecera(0, "cache-control"), "no-cache");
  EXPECT_EQ(cabecera(0, "pragma"), "no-cache");
  EXPECT_FALSE(cabecera(0, "range"));
}

TEST_F(Red, SinArchivoParcialUsaUnTemporalQueDespuesBorra) {
  servidor.publicar("/Foo.zip", {.cuerpo = cuerpo});
  opciones = {};
  Anotador a(cola);
  descargar(a, "/Foo.zip");
  EXPECT_EQ(a.contenido, cuerpo);
  EXPECT_FALSE(a.ubicacion.empty());
  EXPECT_FALSE(fs::exists(a.ubicacion));
}

// Each answer of the server, and what reaches the delegate.
TEST_F(Red, RespuestasDelServidor) {
  const std::int64_t n = static_cast<std::int64_t>(cuerpo.size());
  struct Caso {
    const char* nombre;
    Recurso recurso;
    std::int64_t limite;
    std::optional<std::string> contenido;  // empty: no finished file at all
    std::optional<int> respuesta;
    bool error;
    bool reanudable;
  };
  const Caso casos[] = {
      {"no length", {.cuerpo = cuerpo, .sinLongitud = true}, -1, cuerpo, 200, false, false},
      {"404", {.cuerpo = "missing", .estado = 404}, -1, "missing", 404, false, false},
      {"body longer than announced",
       {.cuerpo = cuerpo, .longitudAnunciada = n - 100},
       -1,
       cuerpo.substr(0, cuerpo.size() - 100),
       200,
       false,
       false},
      {"body shorter than announced",
       {.cuerpo = cuerpo, .longitudAnunciada = n + 100},
       -1,
       std::nullopt,
       200,
       true,
       true},
      {"announced length past the limit",
       {.cuerpo = cuerpo},
       n - 1,
       std::nullopt,
       200,
       true,
       false},
      {"body grows past the limit with no length",
       {.cuerpo = cuerpo, .sinLongitud = true},
       n - 1,
       std::nullopt,
       200,
       true,
       false},
      {"exactly the limit", {.cuerpo = cuerpo}, n, cuerpo, 200, false, false},
      {"redirect to https",
       {.estado = 302, .ubicacion = "/destino"},
       -1,
       cuerpo,
       200,
       false,
       false},
      {"redirect to plain http",
       {.estado = 302, .ubicacion = "http://127.0.0.1:1/destino"},
       -1,
       std::nullopt,
       std::nullopt,
       true,
       false},
  };
  servidor.publicar("/destino", {.cuerpo = cuerpo});
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    servidor.publicar("/Foo.zip", c.recurso);
    opciones.limiteDeBytes = c.limite;
    Anotador a(cola);
    descargar(a, "/Foo.zip");
    ASSERT_TRUE(a.completo);
    EXPECT_TRUE(a.todoEnElHiloPrincipal);
    EXPECT_EQ(a.contenido, c.contenido);
    EXPECT_EQ(a.error.has_value(), c.error);
    if (c.error) {
      EXPECT_EQ(a.error->datosDeReanudacion.has_value(), c.reanudable);
    }
    if (c.contenido) {
      EXPECT_EQ(a.respuesta, c.respuesta);
    }
    EXPECT_EQ(fs::exists(opciones.archivoParcial), c.reanudable)
        << "a partial file is kept only for its resume data";
    std::error_code e;
    fs::remove(opciones.archivoParcial, e);
  }
}

TEST_F(Red, ReanudaTrasUnCorteConUnArchivoIdentico) {
  ErrorDeRed error = cortada("/Foo.zip", cuerpo, 300000);

  Anotador a(cola);
  descargar(a, "/Foo.zip", &*error.datosDeReanudacion);
  ASSERT_TRUE(a.completo);
  EXPECT_FALSE(a.error);
  EXPECT_EQ(a.respuesta, 206);
  EXPECT_EQ(a.contenido, cuerpo);
  ASSERT_FALSE(a.avances.empty());
  EXPECT_GT(a.avances.front()[1], 300000) << "counts include the bytes kept from before";
  EXPECT_EQ(a.avances.back()[1], static_cast<std::int64_t>(cuerpo.size()));
  EXPECT_EQ(a.avances.back()[2], static_cast<std::int64_t>(cuerpo.size()));
  EXPECT_EQ(cabecera(1, "range"), "bytes=300000-");
  EXPECT_EQ(cabecera(1, "if-range"), "\"v1\"");
}

TEST_F(Red, ReanudacionInservibleEmpiezaDeCero) {
  const std::string otro = bytesAlAzar(cuerpo.size(), 2);
  struct Caso {
    const char* nombre;
    std::function<void(std::vector<std::uint8_t>& datos)> estropear;
    Recurso despues;  // what the server answers on the second request
    std::string url;  // of the second request
    bool pideRango;
  };
  const Caso casos[] = {
      {"server ignores the range (200)",
       [](auto&) {},
       {.cuerpo = otro, .rangos = false},
       "/Foo.zip",
       true},
      {"resource changed (If-Range fails)",
       [](auto&) {},
       {.cuerpo = otro, .etag = "\"v2\""},
       "/Foo.zip",
       true},
      {"made for another URL", [](auto&) {}, {.cuerpo = otro}, "/Otro.zip", false},
      {"unreadable resume data",
       [](auto& d) {
         d.assign({'x', 'y'});
       },
       {.cuerpo = otro},
       "/Foo.zip",
       false},
      {"partial file missing",
       [this](auto&) { fs::remove(opciones.archivoParcial); },
       {.cuerpo = otro},
       "/Foo.zip",
       false},
      {"made for another partial file",
       [this](auto&) { opciones.archivoParcial = carpeta / "Foo-43.parcial"; },
       {.cuerpo = otro},
       "/Foo.zip",
       false},
      {"partial file changed size",
       [this](auto&) { std::ofstream(opciones.archivoParcial, std::ios::app) << "x"; },
       {.cuerpo = otro},
       "/Foo.zip",
       false},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    opciones.archivoParcial = carpeta / "Foo-42.parcial";
    ErrorDeRed error = cortada("/Foo.zip", cuerpo, 200000);
    ASSERT_TRUE(error.datosDeReanudacion);
    c.estropear(*error.datosDeReanudacion);
    servidor.publicar(c.url, c.despues);
    std::size_t antes = servidor.peticiones().size();

    Anotador a(cola);
    descargar(a, c.url, &*error.datosDeReanudacion);
    ASSERT_TRUE(a.completo);
    EXPECT_FALSE(a.error);
    EXPECT_EQ(a.respuesta, 200);
    EXPECT_EQ(a.contenido, otro) << "the whole new body, nothing appended";
    EXPECT_EQ(cabecera(antes, "range").has_value(), c.pideRango);
  }
}

TEST_F(Red, Un416EsUnFallo) {
  ErrorDeRed error = cortada("/Foo.zip", cuerpo, 200000);
  // The same validator, but now shorter than the part already kept.
  servidor.publicar("/Foo.zip", {.cuerpo = cuerpo.substr(0, 1000)});
  Anotador a(cola);
  descargar(a, "/Foo.zip", &*error.datosDeReanudacion);
  ASSERT_TRUE(a.completo);
  EXPECT_FALSE(a.contenido);
  ASSERT_TRUE(a.error);
  EXPECT_FALSE(a.error->datosDeReanudacion);
  EXPECT_EQ(a.respuesta, 416);
  EXPECT_FALSE(fs::exists(opciones.archivoParcial));
}

// After invalidation (or letting go of the session), nothing more reaches the delegate,
// and the transfer stops and cleans up.
TEST_F(Red, NadaLlegaTrasInvalidar) {
  enum Modo { cancelar, terminar, soltar };
  for (Modo modo : {cancelar, terminar, soltar}) {
    SCOPED_TRACE(modo);
    // About 14 s of body: only a cancelled transfer is gone within the 5 s allowed below.
    servidor.publicar("/Lento.zip", {.cuerpo = cuerpo, .pausaMs = 20, .trozo = 1024});
    Anotador a(cola);
    auto sesion = red.crearSesion(ConfiguracionDeSesion{}, a);
    sesion->tarea(servidor.url("/Lento.zip"), opciones)->empezar();
    correrHasta([&] { return !a.avances.empty(); });
    ASSERT_FALSE(a.avances.empty());
    std::size_t llamadas = a.orden.size();
    if (modo == cancelar) sesion->invalidarYCancelar();
    if (modo == terminar) sesion->terminarEInvalidar();
    if (modo == soltar) sesion.reset();
    cola.correrDurante(0.5);
    EXPECT_EQ(a.orden.size(), llamadas);
    if (modo != terminar) {
      correrHasta([&] { return !fs::exists(opciones.archivoParcial); }, 5);
      EXPECT_FALSE(fs::exists(opciones.archivoParcial));
    }
  }
}

TEST_F(Red, SinServidorFallaEnseguida) {
  Anotador a(cola);
  auto sesion = red.crearSesion(ConfiguracionDeSesion{}, a);
  sesion->tarea("https://127.0.0.1:1/Foo.zip", opciones)->empezar();
  correrHasta([&] { return a.completo; });
  ASSERT_TRUE(a.completo);
  ASSERT_TRUE(a.error);
  EXPECT_FALSE(a.error->datosDeReanudacion);
  EXPECT_FALSE(a.contenido);
}

TEST_F(Red, CertificadoNoConfiableEsUnFallo) {
  servidor.publicar("/Foo.zip", {.cuerpo = cuerpo});
  red.confiarEn("");
  Anotador a(cola);
  descargar(a, "/Foo.zip");
  ASSERT_TRUE(a.completo);
  EXPECT_TRUE(a.error);
  EXPECT_FALSE(a.contenido);
}

}  // namespace
}  // namespace ovelmar::pruebas
