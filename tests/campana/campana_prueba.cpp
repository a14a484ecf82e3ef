// The fault campaign: updates over the real platform and a real host process, cut off and
// resumed, the host killed at every stage, the swap script killed after every step, and a
// table of hostile archives and servers. It counts what a user would have lost; its last
// lines are the totals.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "Plataforma/linux/RedLinux.hpp"
#include "comun/AutoridadDePrueba.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"
#include "comun/DoblesActualizador.hpp"
#include "comun/Esperar.hpp"
#include "comun/ServidorHttps.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;
using namespace std::string_literals;

int casos = 0, perdidas = 0, malas = 0;  // the totals

std::string shaDe(const fs::path& ruta) {
  return ejecutarOrden("sha256sum '" + ruta.string() + "'").texto.substr(0, 64);
}

// Foo.app of build `b`. Its executable runs the host (Contents/MacOS/anfitrion, when there)
// with whatever orders it is given; opened without any, as the swap opens it, it only notes
// its build in the folder that holds the destination.
fs::path hacerApp(const fs::path& app, const std::string& b, const std::string& id = "com.ej.Foo") {
  escribirArchivo(app / "Contents/Info.plist", infoPlist({{"CFBundleIdentifier", id},
                                                          {"CFBundleName", "Foo"},
                                                          {"CFBundleExecutable", "Foo"},
                                                          {"CFBundleVersion", b}}));
  escribirArchivo(app / "Contents/Resources/datos.txt", "build " + b + "\n");
  fs::create_symlink("datos.txt", app / "Contents/Resources/enlace");
  const std::string abrir =
      "#!/bin/sh\nd=$(dirname \"$0\")\n[ $# -gt 0 ] && exec \"$d/anfitrion\" \"$@\"";
  escribirArchivo(app / "Contents/MacOS/Foo",
                  abrir + "\necho " + b + " >> \"$d/../../../../abiertas\"\n");
  fs::permissions(app / "Contents/MacOS/Foo", fs::perms::owner_all);
  return app;
}

void copiar(const fs::path& de, const fs::path& a) {
  fs::copy(de, a, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

// What every case shares: the server, the real platform, and builds 1 to 3 with the host
// inside, signed, zipped and served (also slowly).
struct Mundo {
  CarpetaTemporal dir;
  ServidorHttps servidor{dir.ruta()};
  PlataformaLinux linux{autoridad().raiz()};
  const std::string raiz = dir / "raiz.pem";
  fs::path app[4], zip[4];
  Mundo() {
    escribirArchivo(raiz, autoridad().raiz());
    for (int b = 1; b <= 3; ++b) {
      const std::string n = std::to_string(b);
      app[b] = hacerApp(dir.ruta() / n / "Foo.app", n);
      ejecutarOrden("strip --strip-debug -o '" + (app[b] / "Contents/MacOS/anfitrion").string() +
                    "' '" OVELMAR_ARBOL "/tests/anfitrion_de_prueba'");
      EXPECT_EQ(autoridad().firmarYNotarizar(app[b], kEquipo), "");
      zipDe(app[b].parent_path(), zip[b] = dir.ruta() / ("Foo-" + n + ".zip"));
      servidor.publicar("/Foo-" + n + ".zip", {.archivo = zip[b]});
      servidor.publicar("/lento/Foo-" + n + ".zip",
                        {.archivo = zip[b], .pausaMs = 40, .trozo = 8192});
    }
    // A plain HTTP server beside it, serving `http`: where a redirect off HTTPS would lead.
    fs::create_directories(http);
    python = popen(("echo $$; exec timeout 900 python3 -u -m http.server 0 --bind 127.0.0.1 "
                    "--directory '" +
                    http.string() + "' 2>/dev/null")
                       .c_str(),
                   "r");
    char linea[256];
    if (python && std::fgets(linea, sizeof linea, python)) pythonPid = std::atoi(linea);
    if (python && std::fgets(linea, sizeof linea, python) && std::strstr(linea, " port "))
      urlHttp = "http://127.0.0.1:" + std::to_string(std::atoi(std::strstr(linea, " port ") + 6));
    EXPECT_FALSE(urlHttp.empty()) << "no plain HTTP server";
  }
  ~Mundo() {
    if (pythonPid > 0) kill(pythonPid, SIGTERM);
    if (python) pclose(python);
  }
  const fs::path http = dir.ruta() / "http";
  FILE* python = nullptr;
  pid_t pythonPid = 0;
  std::string urlHttp;
};
Mundo& mundo() {
  static Mundo m;
  return m;
}

// The build of a bundle that could run: its executable there and its signature valid.
std::optional<std::int64_t> buildValida(const fs::path& app) {
  Plataforma p = mundo().linux.plataforma();
  std::unique_ptr<CodigoEstatico> codigo;
  std::unique_ptr<RequisitoDeCodigo> req;
  std::optional<std::string> error;
  const std::string texto = ReglasDeActualizacion(p).requisitoDeFirma(kEquipo, "com.ej.Foo");
  if (!fs::exists(app / "Contents/MacOS/Foo") ||
      p.firma->crearCodigoEstatico(app.string(), 0, codigo) ||
      p.firma->crearRequisito(texto, 0, req) ||
      p.firma->comprobarValidez(*codigo, 0x19, req.get(), error))
    return std::nullopt;
  std::optional<Diccionario> info = Instalador::leerInfo(p, app.string());
  return info ? ReglasDeActualizacion::entero(buscar(*info, "CFBundleVersion")) : std::nullopt;
}

// Until no process names the folder on its command line: what a killed host left running
// (a tool, the swap script, the application it opened) has ended, as it has by the time a
// person starts the application again.
bool esperarHuerfanos(const fs::path& dir) {
  int seguidas = 0;  // a process in the middle of an exec may show no command line yet
  return esperarA(
      [&] {
        bool nadie = true;
        for (const auto& e : fs::directory_iterator("/proc"))
          nadie =
              nadie && leerArchivo(e.path() / "cmdline").find(dir.string()) == std::string::npos;
        return (seguidas = nadie ? seguidas + 1 : 0) >= 3;
      },
      40);
}

// An installed application in a folder of its own, as a user has it.
struct Instalacion {
  CarpetaTemporal dir;
  const fs::path app = dir.ruta() / "Aplicaciones/Foo.app";
  bool confiar = true;  // whether the host trusts the server's certificate
  int pedidos = 0;
  Instalacion() {
    fs::create_directories(app.parent_path());
    copiar(mundo().app[1], app);
  }
  std::string abiertas() const { return leerArchivo(dir.ruta() / "abiertas"); }
  std::set<std::string> aplicaciones() const {
    std::set<std::string> r;
    for (const auto& e : fs::directory_iterator(app.parent_path())) r.insert(e.path().filename());
    return r;
  }
  // The order that asks for an update; by default for the served build `b`.
  std::string pedido(const std::string& url, std::int64_t b, std::string sha = "",
                     std::int64_t tamano = 0) {
    const fs::path f = dir.ruta() / ("pedido-" + std::to_string(++pedidos) + ".plist");
    if (sha.empty()) sha = shaDe(mundo().zip[b]);
    if (!tamano) tamano = static_cast<std::int64_t>(fs::file_size(mundo().zip[b]));
    escribirArchivo(f, mundo().linux.plataforma().propiedades->escribirXml(
                           Valor(Diccionario{{"url", Valor(url)},
                                             {"sha256", Valor(sha)},
                                             {"build", Valor(b)},
                                             {"tamano", Valor(tamano)}})));
    return "actualizar:" + f.string();
  }
};

// Runs the installed application's host with `ordenes` and returns what it printed (the host
// ends by itself within a minute). It is killed (SIGKILL) `demoraMs` after a line with
// `matarEn`, and once an update has failed or was refused, since it would only idle. Then
// what it left running ends.
std::string correr(const Instalacion& i, const std::vector<std::string>& ordenes,
                   const std::string& matarEn = "", int demoraMs = 0) {
  const std::string d = i.dir.ruta().string();
  std::string orden = "echo $$; exec env -i PATH=/usr/bin:/bin HOME=" + d + " XDG_CACHE_HOME=" + d +
                      "/cache KESTRAVON_DESTINO=" + d + "/Aplicaciones " + i.app.string() +
                      "/Contents/MacOS/Foo --raiz " + mundo().raiz;
  if (i.confiar) orden += " --ca " + mundo().servidor.ca();
  for (const std::string& o : ordenes) orden += " '" + o + "'";
  FILE* f = popen((orden + " 2>&1").c_str(), "r");
  char linea[4096];
  const pid_t pid = f && std::fgets(linea, sizeof linea, f) ? std::atoi(linea) : 0;
  std::string salida;
  while (pid > 0 && std::fgets(linea, sizeof linea, f)) {
    const std::string l = linea;
    salida += l;
    const bool matar = !matarEn.empty() && l.find(matarEn) != std::string::npos;
    if (matar) usleep(demoraMs * 1000);
    if (matar || l.find("fase=fallo") != std::string::npos || l == "actualizar 0\n")
      kill(pid, SIGKILL);
  }
  if (f) pclose(f);
  EXPECT_TRUE(esperarHuerfanos(d));
  return salida;
}

// After a fault: the application is at its place, runnable and validly signed, and the next
// update, started as a person starts the application, ends with the next build in place and
// open and nothing left beside it. Otherwise the user has lost it.
void seguir(Instalacion& i, const std::string& caso) {
  ++casos;
  const std::optional<std::int64_t> b = buildValida(i.app);
  if (!b) ++perdidas;
  ASSERT_TRUE(b && *b < 3) << caso << ": the application is gone";
  const std::string antes = i.abiertas(), n = std::to_string(*b + 1);
  const std::string salida = correr(
      i, {"instalarSiHaceFalta", i.pedido(mundo().servidor.url("/Foo-" + n + ".zip"), *b + 1)});
  EXPECT_NE(salida.find("estado fase=reabriendo build=" + n), std::string::npos) << salida;
  EXPECT_TRUE(esperarA([&] { return i.abiertas() == antes + n + "\n"; }, 10)) << i.abiertas();
  EXPECT_EQ(buildValida(i.app), *b + 1);
  EXPECT_EQ(i.aplicaciones(), std::set<std::string>{"Foo.app"});
}

TEST(Campana, DescargasCortadasEnTreintaSitiosSeReanudanIgualesByteAByte) {
  CarpetaTemporal c;
  ServidorHttps& servidor = mundo().servidor;
  mundo().linux.red().confiarEn(servidor.ca());
  PaqueteFijo paquete;
  EntornoFijo entorno;
  CarpetasFijas carpetas;
  PreferenciasEnMemoria preferencias;  // the failures it counts stay here
  Plataforma p = mundo().linux.plataforma();
  paquete.rutaFija = c / "Aplicaciones/Foo.app";
  paquete.infoFija = Diccionario{
      {"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}, {"CFBundleVersion", "1"}};
  entorno.variables["KESTRAVON_DESTINO"] = c / "Aplicaciones";
  carpetas.cachesFija = c / "cache";
  p.paquete = &paquete, p.entorno = &entorno, p.carpetas = &carpetas,
  p.preferencias = &preferencias;
  fs::create_directories(*paquete.rutaFija);
  ReglasDeActualizacion reglas(p);
  Instalador instalador(p, reglas);
  Actualizador act(p, reglas, instalador);
  const std::string cuerpo = bytesAlAzar(1 << 20, 7), archivo = c / "cuerpo";
  escribirArchivo(archivo, cuerpo);
  const Diccionario pedido{{"url", Valor(servidor.url("/cortada"))},
                           {"sha256", Valor(shaDe(archivo))},
                           {"build", Valor(2)},
                           {"tamano", Valor(static_cast<std::int64_t>(cuerpo.size()))}};
  // Each start also sweeps what other builds left in the folder, and no partial file stays.
  const fs::path d = act.carpeta();
  int iguales = 0;
  p.notificaciones->observar(act.aviso(), [&](const Diccionario& e) {
    std::set<std::string> quedan;
    for (const auto& f : fs::directory_iterator(d)) quedan.insert(f.path().filename());
    if (*textoDe(e, "fase") == "comprobando")
      iguales += leerArchivo(d / "Foo-2.zip") == cuerpo && quedan == std::set{"Foo-2.zip"s};
  });
  auto intentar = [&] {
    act.empezar(pedido);
    Diccionario estado;
    esperarA([&] {
      p.colaPrincipal->correrDurante(0.02);
      return *textoDe(estado = act.estado(), "fase") == "fallo";
    });
    return *textoDe(estado, "motivo");
  };
  std::mt19937 azar(30);
  for (int i = 0; i < 30; ++i) {
    const std::int64_t corte =
        std::uniform_int_distribution<std::int64_t>(1, std::ssize(cuerpo) - 1)(azar);
    SCOPED_TRACE(corte);
    ++casos;
    servidor.publicar("/cortada", {.archivo = archivo, .cortarTras = corte});
    for (const char* n : {"Foo-1.zip", "Foo-1.reanudar", "Foo-20.zip", ".x", "Foo-2/Foo.app/x"})
      escribirArchivo(d / n, "viejo");
    EXPECT_EQ(intentar(), "red");
    EXPECT_TRUE(fs::exists(d / "Foo-2.reanudar"));
    // The resumed request finds the range honoured, ignored, or refused for a new tag.
    servidor.publicar(
        "/cortada",
        {.archivo = archivo, .etag = i % 3 == 2 ? "\"v2\"" : "\"v1\"", .rangos = i % 3 != 1});
    EXPECT_EQ(intentar(), "instalar");  // the digest held; the bytes are no archive
    EXPECT_EQ(iguales, i + 1);
    EXPECT_EQ(servidor.peticiones().back().cabeceras["range"],
              "bytes=" + std::to_string(corte) + "-");
  }
}

TEST(Campana, UnAnfitrionMatadoEnCualquierFaseDejaLaAplicacionYLaSiguienteFunciona) {
  std::mt19937 azar(2024);
  for (std::string fase : {"descargando", "comprobando", "instalando", "reabriendo"})
    for (int vez = 0; vez < 3; ++vez) {
      const int demora = vez ? std::uniform_int_distribution<int>(1, 300)(azar) : 0;
      const std::string caso = "host killed " + std::to_string(demora) + " ms into " + fase;
      SCOPED_TRACE(caso);
      Instalacion i;
      const std::string url = (fase == "descargando" ? "/lento" : "") + std::string("/Foo-2.zip");
      const std::string salida =
          correr(i, {i.pedido(mundo().servidor.url(url), 2)}, "fase=" + fase, demora);
      EXPECT_NE(salida.find("fase=" + fase), std::string::npos) << salida;
      seguir(i, caso);
    }
}

// The swap script as the updater starts it, killed (SIGKILL) once `hechos` of its steps have
// run: each tool it calls is a stand-in that counts the step and, past that, kills the shell
// (or, when the shell has become that last command, only ends).
int cambioMatado(Instalacion& i, int hechos) {
  ProcesosLinux procesos;
  const std::string pasos = i.dir / "pasos";
  for (std::string h : {"/bin/kill", "/bin/rm", "/bin/mv", "/usr/bin/open"}) {
    const std::string sustituto = i.dir / fs::path(h).filename();
    escribirArchivo(sustituto, "#!/bin/sh\nn=$(($(cat " + pasos + " 2>/dev/null)+1))\necho $n > " +
                                   pasos + "\nif [ $n -gt " + std::to_string(hechos) +
                                   " ]; then [ \"$(cat /proc/$PPID/comm)\" = sh ] && kill -9 " +
                                   "$PPID; exit 1; fi\nexec " +
                                   entrecomillar(procesos.herramienta(h)) + " \"$@\"\n");
    fs::permissions(sustituto, fs::perms::owner_all);
    procesos.establecerHerramienta(h, sustituto);
  }
  // The host has ended: a process identifier above Linux's largest, so that it waits not at all.
  procesos.ejecutar("/bin/sh", {"-c", std::string(ReglasDeActualizacion::guionDeCambio), "sh",
                                "4194305", i.app.string(), i.app.string() + ".nuevo"});
  EXPECT_TRUE(esperarHuerfanos(i.dir.ruta()));
  return std::atoi(leerArchivo(pasos).c_str());
}

TEST(Campana, ElCambioMatadoTrasCadaPasoDejaLaAplicacionEnSuSitioOEnElViejo) {
  int enSuSitio = 0, enElViejo = 0;
  // With the new copy there the script runs 6 steps; without it, the rollback makes it 7.
  for (bool conNueva : {true, false})
    for (int hechos = 0, pasos = conNueva ? 6 : 7; hechos <= pasos; ++hechos) {
      const std::string caso = std::string("swap script ") + (conNueva ? "" : "without new copy ") +
                               "killed after step " + std::to_string(hechos);
      SCOPED_TRACE(caso);
      Instalacion i;
      if (conNueva) copiar(mundo().app[2], i.app.string() + ".nuevo");
      EXPECT_EQ(cambioMatado(i, hechos), std::min(hechos + 1, pasos));
      const fs::path viejo = i.app.string() + ".viejo";
      const std::optional<std::int64_t> b = buildValida(i.app);
      const bool restaurable = !b && buildValida(viejo);
      std::string que = b ? "build " + std::to_string(*b) + " in place" : "lost";
      if (restaurable) {
        que = "only in Foo.app.viejo; the user renames it Foo.app";
        fs::rename(viejo, i.app);
      }
      enSuSitio += b.has_value(), enElViejo += restaurable;
      std::printf("%s: %s\n", caso.c_str(), que.c_str());
      seguir(i, caso);
    }
  std::printf("swap script killed %d times: application in place %d, only in .viejo %d\n",
              enSuSitio + enElViejo, enSuSitio, enElViejo);
}

// One hostile update: what the archive holds, how the server answers, what the request says.
struct Ataque {
  fs::path fuente, zip;            // the folder zipped as the update, unless the case writes `zip`
  std::string url;                 // this case's own on the server
  Recurso recurso{};               // the server's answer; the archive is its body unless set
  std::optional<Recurso> antes{};  // an answer that breaks off first, so that it resumes
  std::string sha{};               // the request's, when not the archive's
  std::int64_t tamano = 0;
  bool confiar = true;
};
using A = Ataque;
using Preparar = std::function<void(A&)>;
using Cambio = std::function<void(const fs::path&)>;

// F: Foo.app of build `b`, signed by `quien` and notarised; with `luego`, it holds a nested
// Bar.framework and is handed to `luego` once signed.
Preparar F(std::string b, Credencial quien, bool notarizar = true, std::string id = "com.ej.Foo",
           Cambio luego = {}) {
  return [=](A& a) {
    const fs::path p = hacerApp(a.fuente / "Foo.app", b, id);
    if (luego)
      escribirArchivo(p / "Contents/Frameworks/Bar.framework/Contents/Info.plist",
                      infoPlist({{"CFBundleIdentifier", "com.ej.Bar"}}));
    Problema mal = firmarPaquete(p.string(), quien);
    if (!mal && notarizar) mal = notarizarPaquete(p.string(), autoridad().notario());
    EXPECT_EQ(mal, std::nullopt);
    if (luego) luego(p);
  };
}
// H: an archive written byte by byte.
Preparar H(std::vector<EntradaZip> entradas) {
  return [=](A& a) { escribirArchivo(a.zip, zip(entradas)); };
}

TEST(Campana, ArchivosYServidoresHostilesNuncaPasanLaVerificacion) {
  using V = AutoridadDePrueba::Variante;
  using P = const fs::path&;
  using N = std::int64_t;
  const Credencial bien = autoridad().desarrollador(kEquipo),
                   otro = autoridad().desarrollador("OTRO4EQUIP");
  auto de = [](V v) { return autoridad().desarrollador(kEquipo, v); };
  auto T = [&](Cambio cambio) { return F("2", bien, true, "com.ej.Foo", cambio); };  // then changed
  // S: the good archive, served as `cambio` says (given its size).
  auto S = [&](std::function<void(A&, N)> cambio) -> Preparar {
    return [=](A& a) {
      F("2", bien)(a);
      zipDe(a.fuente, a.zip);
      cambio(a, static_cast<N>(fs::file_size(a.zip)));
    };
  };
  const fs::path datos = "Contents/Resources/datos.txt", bar = "Contents/Frameworks/Bar.framework";
  const unsigned enlace = 0120777;
  const fs::path fuera = mundo().dir / "fuera";  // where the absolute entry points
  struct Hostil {
    const char* caso;
    const char* motivo;  // the failure it must end in
    Preparar preparar;
  };
  // Refusals one layer down are shown there, each once: unpacking in herramientas_prueba,
  // signature statuses in firma_prueba, server answers in red_prueba, requests in the unit
  // tests. Here what only the whole path shows, and one of each kind.
  const Hostil tabla[] = {
      {"a truncated archive", "instalar", S([](A& a, N t) { fs::resize_file(a.zip, t / 2); })},
      {"an absolute entry", "instalar", H({{fuera.string(), "x"}})},
      {"a link out", "instalar", H({{"Foo.app/C", "../../..", enlace}, {"Foo.app/C/x", "x"}})},
      {"a link to a link out", "instalar",
       H({{"Foo.app/a", "b", enlace}, {"Foo.app/b", "../..", enlace}})},
      {"a link to /bin/sh", "instalar", H({{"Foo.app/Contents/MacOS/Foo", "/bin/sh", enlace}})},
      {"an entry through a file", "instalar", H({{"Foo.app/a", "x"}, {"Foo.app/a/b", "y"}})},
      {"the same entry twice", "firma", H({{"Foo.app/x", "1"}, {"Foo.app/x", "2"}})},
      {"a named pipe", "instalar", H({{"Foo.app/p", "", 010644}})},
      {"another team", "firma", F("2", otro)},
      {"another identifier", "firma", F("2", bien, true, "com.ej.Otra")},
      {"the installed build", "firma", F("1", bien)},
      {"another build than asked for", "firma", F("3", bien)},
      {"an expired certificate", "firma", F("2", de(V::caducada))},
      {"no developer extension", "firma", F("2", de(V::sinExtensionDeHoja))},
      {"not notarised", "firma", F("2", bien, false)},
      {"notarised by the developer", "firma",
       T([&](P p) { EXPECT_EQ(notarizarPaquete(p.string(), bien), std::nullopt); })},
      {"a file added after signing", "firma",
       T([](P p) { escribirArchivo(p / "Contents/x", ""); })},
      {"a mode changed after signing", "firma",
       T([&](P p) { fs::permissions(p / datos, fs::perms::owner_all); })},
      {"a link turned after signing", "firma", T([](P p) {
         fs::remove(p / "Contents/Resources/enlace");
         fs::create_symlink("../Info.plist", p / "Contents/Resources/enlace");
       })},
      {"a nested bundle signed again by another team", "firma",
       T([&](P p) { EXPECT_EQ(firmarPaquete((p / bar).string(), otro), std::nullopt); })},
      {"a wrong digest", "sha", S([](A& a, N) { a.sha = std::string(64, '0'); })},
      {"a byte less than asked for", "red", S([](A& a, N t) { a.tamano = t + 1; })},
      {"a 404", "red", S([](A& a, N) { a.recurso.estado = 404; })},
      {"a redirect loop", "red",
       S([](A& a, N) { a.recurso = {.estado = 302, .ubicacion = a.url}; })},
      {"a redirect to http", "red", S([](A& a, N) {
         fs::copy_file(a.zip, mundo().http / "Foo-2.zip", fs::copy_options::overwrite_existing);
         a.recurso = {.estado = 302, .ubicacion = mundo().urlHttp + "/Foo-2.zip"};
       })},
      {"an untrusted certificate", "red", S([](A& a, N) { a.confiar = false; })},
      {"a length shorter than the body", "red",
       S([](A& a, N t) { a.recurso.longitudAnunciada = t - 1000; })},
      {"resumed: a 206 without the range asked for", "red", S([](A& a, N t) {
         a.antes = Recurso{.cortarTras = t / 2};
         a.recurso = {.cuerpo = "x", .estado = 206};
       })},
      {"resumed: the file changed under the same tag", "sha", S([](A& a, N t) {
         escribirArchivo(a.fuente / "otro", bytesAlAzar(static_cast<std::size_t>(t), 9));
         a.antes = Recurso{.archivo = a.fuente / "otro", .cortarTras = t / 2};
       })},
  };
  int n = 0;
  for (const Hostil& h : tabla) {
    SCOPED_TRACE(h.caso);
    Instalacion i;
    const std::string ruta = "/hostil/" + std::to_string(++n);
    Ataque a{i.dir.ruta() / "fuente", i.dir.ruta() / "Foo-2.zip", mundo().servidor.url(ruta)};
    fs::create_directories(a.fuente);
    h.preparar(a);
    if (!fs::exists(a.zip)) zipDe(a.fuente, a.zip);
    for (Recurso* r : {&a.recurso, a.antes ? &*a.antes : nullptr})
      if (r && r->archivo.empty() && r->cuerpo.empty()) r->archivo = a.zip;
    i.confiar = a.confiar;
    const std::string pedido =
        i.pedido(a.url, 2, a.sha.empty() ? shaDe(a.zip) : a.sha,
                 a.tamano ? a.tamano : static_cast<std::int64_t>(fs::file_size(a.zip)));
    if (a.antes) {
      mundo().servidor.publicar(ruta, *a.antes);
      EXPECT_NE(correr(i, {pedido}).find("fase=fallo motivo=red"), std::string::npos);
    }
    mundo().servidor.publicar(ruta, a.recurso);
    const std::set<std::string> instalada = arbol(i.app);
    const std::string salida = correr(i, {pedido});
    ++casos;
    if (salida.find("fase=instalando") != std::string::npos || arbol(i.app) != instalada ||
        i.aplicaciones() != std::set<std::string>{"Foo.app"} || !i.abiertas().empty() ||
        fs::remove(fuera)) {  // removed: a write outside counts once
      ++malas;
      ADD_FAILURE() << "a bad update got in:\n" << salida;
    }
    EXPECT_NE(salida.find("estado fase=fallo motivo="s + h.motivo), std::string::npos) << salida;
  }
}

}  // namespace
}  // namespace ovelmar

// One process for every case, so that its totals close what it prints. The hosts it runs
// get folders of their own; this process writes nothing of the user's.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int r = RUN_ALL_TESTS();
  using ovelmar::casos, ovelmar::perdidas, ovelmar::malas;
  std::printf("cases run %d\napplications lost %d\nbad updates installed %d\n", casos, perdidas,
              malas);
  return r || perdidas || malas ? 1 : 0;
}
