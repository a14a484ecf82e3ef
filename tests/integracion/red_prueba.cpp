// The real download session against a real HTTPS server on 127.0.0.1.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>

#include "Plataforma/linux/ColaPrincipalLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "Plataforma/linux/RedLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/ServidorHttps.hpp"

namespace ovelmar::pruebas {
namespace {

namespace fs = std::filesystem;

// Everything the session tells its delegate, in order.
class Anotador : public DelegadoDeDescarga {
 public:
  explicit Anotador(ColaPrincipal& cola) : cola_(cola) {}

  std::vector<std::string> orden;
  std::vector<std::array<std::int64_t, 3>> avances;  // written now, in all, expected
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
  void terminado(SesionDeDescarga&, TareaDeDescarga&, const std::string& u) override {
    anotar("terminado");
    ubicacion = u;
    contenido = leerArchivo(u);
  }
  void completado(SesionDeDescarga&, TareaDeDescarga& tarea,
                  const std::optional<ErrorDeRed>& e) override {
    anotar("completado");
    completo = true;
    error = e;
    respuesta = tarea.respuesta();
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
  void correrHasta(const std::function<bool()>& listo, double segundos = 30) {
    auto fin = std::chrono::steady_clock::now() + std::chrono::duration<double>(segundos);
    while (!listo() && std::chrono::steady_clock::now() < fin) cola.correrDurante(0.02);
  }

  void descargar(Anotador& a, const std::string& url,
                 const std::vector<std::uint8_t>* datos = nullptr) {
    auto sesion = red.crearSesion(ConfiguracionDeSesion{}, a);
    auto tarea =
        datos ? sesion->tareaConReanudacion(*datos, url, opciones) : sesion->tarea(url, opciones);
    tarea->empezar();
    correrHasta([&] { return a.completo; });
    ASSERT_TRUE(a.completo);
    sesion->terminarEInvalidar();
  }

  std::optional<std::string> cabecera(std::size_t peticion, const std::string& nombre) {
    auto p = servidor.peticiones();
    if (peticion >= p.size() || !p[peticion].cabeceras.count(nombre)) return std::nullopt;
    return p[peticion].cabeceras[nombre];
  }

  CarpetaTemporal carpeta;
  ServidorHttps servidor{carpeta.ruta()};
  ColaPrincipalLinux cola;
  PropiedadesLinux propiedades;
  RedLinux red{cola, propiedades};
  OpcionesDeTarea opciones{.archivoParcial = carpeta / "Foo-42.parcial"};
  const std::string cuerpo = bytesAlAzar(700 * 1024 + 7, 1);
  const std::int64_t n = static_cast<std::int64_t>(cuerpo.size());
};

// Each answer of the server, and what reaches the delegate: every call on the main thread,
// progress that adds up to the body, then the file, then the end. Limits and redirects that
// end in "red" anyway are the session's to refuse: the updater cannot tell them apart. The
// partial file's name is the session's: a folder, a link or a pipe found there is cleared,
// or every attempt of that build would fail alike; a link's target is untouched. Without a
// name, a temporary file of the session's own.
TEST_F(Red, RespuestasDelServidor) {
  const fs::path parcial = opciones.archivoParcial, ajeno = carpeta / "ajeno";
  escribirArchivo(ajeno, "de otro");
  struct Caso {
    const char* nombre;
    Recurso recurso;
    std::int64_t limite = -1;
    std::optional<std::string> contenido{};  // the finished file; none: the transfer fails
    bool reanudable = false;                 // the partial file is kept, with resume data for it
    std::optional<int> respuesta = 200;      // none: no answer came, not even 0
    std::string url = "/Foo.zip";
    std::function<void()> antes{};
  };
  const Recurso entero{.cuerpo = cuerpo};
  const Caso casos[] = {
      {"whole", entero, -1, cuerpo},
      {"a folder at the partial file", entero, -1, cuerpo, false, 200, "/Foo.zip",
       [&] { fs::create_directories(parcial / "dentro"); }},
      {"a link at the partial file", entero, -1, cuerpo, false, 200, "/Foo.zip",
       [&] { fs::create_symlink(ajeno, parcial); }},
      {"a pipe at the partial file", entero, -1, cuerpo, false, 200, "/Foo.zip",
       [&] { ASSERT_EQ(mkfifo(parcial.c_str(), 0600), 0); }},
      {"no partial file named", entero, -1, cuerpo, false, 200, "/Foo.zip",
       [&] { opciones.archivoParcial.clear(); }},
      {"no length", {.cuerpo = cuerpo, .sinLongitud = true}, -1, cuerpo},
      {"404", {.cuerpo = "missing", .estado = 404}, -1, "missing", false, 404},
      {"shorter than announced", {.cuerpo = cuerpo, .longitudAnunciada = n + 100}, -1, {}, true},
      {"announced past the limit", entero, n - 1},
      {"grows past the limit, no length", {.cuerpo = cuerpo, .sinLongitud = true}, n - 1},
      {"redirect to https", {.estado = 302, .ubicacion = "/destino"}, -1, cuerpo},
      {"no server", {}, -1, {}, false, std::nullopt, "https://127.0.0.1:1/Foo.zip"},
  };
  servidor.publicar("/destino", entero);
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    opciones = {.archivoParcial = parcial, .limiteDeBytes = c.limite};
    if (c.antes) c.antes();
    servidor.publicar("/Foo.zip", c.recurso);
    Anotador a(cola);
    descargar(a, c.url.starts_with("/") ? servidor.url(c.url) : c.url);
    EXPECT_TRUE(a.todoEnElHiloPrincipal);
    EXPECT_EQ(a.contenido, c.contenido);
    ASSERT_EQ(a.error.has_value(), !c.contenido);
    EXPECT_EQ(a.error && a.error->datosDeReanudacion, c.reanudable);
    if (!a.error || !c.respuesta) {
      EXPECT_EQ(a.respuesta, c.respuesta);
    }
    EXPECT_EQ(fs::exists(opciones.archivoParcial), c.reanudable)
        << "a partial file is kept only for its resume data";
    fs::remove(opciones.archivoParcial);
    // An unknown length is not reported as a length.
    for (const auto& avance : a.avances) EXPECT_EQ(avance[2] < 1, c.recurso.sinLongitud);
    if (!c.contenido) continue;
    std::vector<std::string> orden(a.avances.size(), "progreso");
    orden.insert(orden.end(), {"terminado", "completado"});
    EXPECT_EQ(a.orden, orden);
    // Progress adds up, never goes back, and ends at the whole body.
    std::int64_t suma = 0;
    for (auto [escritos, total, esperados] : a.avances) {
      EXPECT_GT(escritos, 0);
      EXPECT_EQ(total, suma += escritos);
      if (!c.recurso.sinLongitud) {
        EXPECT_EQ(esperados, std::ssize(*c.contenido));
      }
    }
    EXPECT_EQ(suma, std::ssize(*c.contenido));
    EXPECT_EQ(a.ubicacion == parcial, !opciones.archivoParcial.empty());
    EXPECT_FALSE(fs::exists(a.ubicacion)) << "removed after the callback";
  }
  EXPECT_EQ(leerArchivo(ajeno), "de otro");
  EXPECT_EQ(cabecera(0, "cache-control"), "no-cache");
  EXPECT_EQ(cabecera(0, "pragma"), "no-cache");
  EXPECT_FALSE(cabecera(0, "range"));
}

// A transfer cut at 200000 bytes leaves resume data; what the next transfer from it does.
TEST_F(Red, ReanudaSoloLoQueSigueSiendoElMismoArchivo) {
  const std::string otro = bytesAlAzar(cuerpo.size(), 2), corto = cuerpo.substr(0, 1000);
  std::string& parcial = opciones.archivoParcial;
  std::string url;  // of the second request
  struct Caso {
    const char* nombre;
    std::function<void(std::vector<std::uint8_t>&)> estropear;  // before resuming
    Recurso despues;                                            // the server's second answer
    bool pideRango = false;
    int respuesta = 200;  // 416: the transfer fails, and nothing is kept
  };
  const Caso casos[] = {
      {"resumes", {}, {.cuerpo = cuerpo}, true, 206},
      {"resource changed (If-Range fails)", {}, {.cuerpo = otro, .etag = "\"v2\""}, true},
      {"now shorter than the part kept (416)", {}, {.cuerpo = corto}, true, 416},
      {"made for another URL", [&](auto&) { url = "/Otro.zip"; }, {.cuerpo = otro}},
      {"truncated resume data", [](auto& d) { d.resize(d.size() / 2); }, {.cuerpo = otro}},
      {"partial file missing", [&](auto&) { fs::remove(parcial); }, {.cuerpo = otro}},
      {"made for another partial file", [&](auto&) { parcial += ".otro"; }, {.cuerpo = otro}},
      {"partial file grew", [&](auto&) { fs::resize_file(parcial, 200001); }, {.cuerpo = otro}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    parcial = carpeta / "Foo-42.parcial";
    url = "/Foo.zip";
    servidor.publicar(url, {.cuerpo = cuerpo, .cortarTras = 200000});
    Anotador cortada(cola);
    descargar(cortada, servidor.url(url));
    ASSERT_TRUE(cortada.error && cortada.error->datosDeReanudacion);
    EXPECT_EQ(fs::file_size(parcial), 200000u);
    std::vector<std::uint8_t> datos = *cortada.error->datosDeReanudacion;
    if (c.estropear) c.estropear(datos);
    servidor.publicar(url, c.despues);
    const std::size_t antes = servidor.peticiones().size();

    Anotador a(cola);
    descargar(a, servidor.url(url), &datos);
    EXPECT_EQ(a.respuesta, c.respuesta);
    const auto si = [&](const char* t) {
      return c.pideRango ? std::optional<std::string>(t) : std::nullopt;
    };
    EXPECT_EQ(cabecera(antes, "range"), si("bytes=200000-"));
    EXPECT_EQ(cabecera(antes, "if-range"), si("\"v1\""));
    ASSERT_EQ(a.error.has_value(), c.respuesta == 416);
    if (a.error) {  // nothing is kept to resume from
      EXPECT_FALSE(a.error->datosDeReanudacion || a.contenido || fs::exists(parcial));
      continue;
    }
    EXPECT_EQ(a.contenido, c.despues.cuerpo) << "the server's body, nothing appended";
    ASSERT_FALSE(a.avances.empty());
    // Counts include the bytes kept from before; the expected size is the whole body.
    EXPECT_GT(a.avances.front()[1], c.respuesta == 206 ? 200000 : 0);
    EXPECT_EQ(a.avances.back(), (std::array<std::int64_t, 3>{a.avances.back()[0], n, n}));
  }
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
    // Progress keeps coming while the body does (every 20 ms), not just once at the end.
    correrHasta([&] { return a.avances.size() >= 2; }, 5);
    ASSERT_GE(a.avances.size(), 2u);
    const std::size_t llamadas = a.orden.size();
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

}  // namespace
}  // namespace ovelmar::pruebas
