// The whole update path, in one run on the same data: a signed and notarised bundle of
// about 3,000 files and 200 MiB, zipped and served over loopback HTTPS, taken from
// `empezar` (what `actualizar:` calls) to "reabriendo" by the updater on the real Linux
// platform, against the sum of four separate tools doing the same work:
//   curl (download) + openssl dgst -sha256 (the archive) + bsdtar -xf (unpack) +
//   two openssl dgst -sha256 processes over every unpacked file (the signature's hashes).
// Prints each stage of both sides, the streaming digest of the archive alone against
// `openssl dgst -sha256`, and on the last line the ratio updater / tools.
//
//   bench_actualizacion [files=3000] [rounds=3]

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Ovelmar/Actualizador.hpp"
#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "Plataforma/linux/RedLinux.hpp"
#include "comun/AutoridadDePrueba.hpp"
#include "comun/Dobles.hpp"
#include "comun/ServidorHttps.hpp"

namespace fs = std::filesystem;
using namespace ovelmar;
using Monotono = std::chrono::steady_clock;

namespace {

const std::string kEquipo(ReglasDeActualizacion::equipo);

double segundosDesde(Monotono::time_point t) {
  return std::chrono::duration<double>(Monotono::now() - t).count();
}

// Seconds the shell line took; negative when it failed.
double orden(const std::string& linea) {
  const char* argv[] = {"/bin/sh", "-c", linea.c_str(), nullptr};
  auto t = Monotono::now();
  pid_t pid;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    return -1;
  int estado = 0;
  waitpid(pid, &estado, 0);
  const double s = segundosDesde(t);
  return WIFEXITED(estado) && WEXITSTATUS(estado) == 0 ? s : -1;
}

std::string comillas(const fs::path& p) {
  return "'" + p.string() + "'";
}

void escribirInfo(const fs::path& app, const std::string& build) {
  fs::create_directories(app / "Contents/MacOS");
  std::ofstream(app / "Contents/Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>com.ej.Foo</string>"
         "<key>CFBundleName</key><string>Foo</string>"
         "<key>CFBundleExecutable</key><string>Foo</string>"
         "<key>CFBundleVersion</key><string>"
      << build << "</string></dict></plist>\n";
  std::ofstream(app / "Contents/MacOS/Foo") << "#!/bin/sh\nexit 0\n";
  fs::permissions(app / "Contents/MacOS/Foo", fs::perms::owner_all);
}

// Build 2 of Foo: files of 1 KiB to 2 MiB, most of them small, scaled to about `bytes`; one
// in four compresses (resources, text), the rest does not (images, code). Some links.
std::uint64_t generar(const fs::path& app, int archivos, std::uint64_t bytes) {
  escribirInfo(app, "2");
  std::mt19937_64 azar(11);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<double> tamanos;
  double suma = 0;
  for (int i = 0; i < archivos; ++i)
    suma += tamanos.emplace_back(1024 * std::pow(2.0, 11 * std::pow(u(azar), 6)));
  std::uint64_t total = 0;
  std::vector<std::uint64_t> datos;
  for (int i = 0; i < archivos; ++i) {
    const fs::path carpeta = app / "Contents/Resources" / ("d" + std::to_string(i % 60));
    fs::create_directories(carpeta);
    const auto n = static_cast<std::size_t>(tamanos[i] * static_cast<double>(bytes) / suma);
    datos.resize(n / 8 + 1);
    for (auto& x : datos)
      x = i % 4 == 0 ? (azar() & 0x0f0f0f0f0f0f0f0fULL) | 0x4040404040404040ULL : azar();
    std::ofstream(carpeta / ("f" + std::to_string(i) + ".bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(datos.data()), static_cast<std::streamsize>(n));
    total += n;
    if (i % 150 == 75)
      fs::create_symlink(
          "../d" + std::to_string((i + 1) % 60) + "/f" + std::to_string(i + 1) + ".bin",
          carpeta / ("enlace" + std::to_string(i)));
  }
  return total;
}

// The real processes, but the host is a stand-in process (the swap script waits for it,
// not for the bench), and the script started is remembered so the bench can stop it.
class ProcesosDelBanco : public Procesos {
 public:
  explicit ProcesosDelBanco(Procesos& real) : real_(real) {}
  std::int32_t anfitrion = 0;
  std::vector<std::int32_t> lanzados;
  std::string herramienta(const std::string& r) override { return real_.herramienta(r); }
  std::variant<int, Error> ejecutar(const std::string& p,
                                    const std::vector<std::string>& a) override {
    return real_.ejecutar(p, a);
  }
  std::optional<std::int32_t> lanzar(const std::string& p,
                                     const std::vector<std::string>& a) override {
    std::optional<std::int32_t> pid = real_.lanzar(p, a);
    if (pid) lanzados.push_back(*pid);
    return pid;
  }
  bool vive(std::int32_t pid) override { return real_.vive(pid); }
  std::int32_t pid() override { return anfitrion; }
  std::uint32_t uid() override { return real_.uid(); }
  std::string nombreDeUsuario() override { return real_.nombreDeUsuario(); }
  [[noreturn]] void salir(int e) override {
    real_.salir(e);
    std::abort();
  }

 private:
  Procesos& real_;
};

// Background work runs; the forced exit that follows `terminar` never does.
class ColaGlobalSinDemoras : public ColaGlobal {
 public:
  explicit ColaGlobalSinDemoras(ColaGlobal& real) : real_(real) {}
  void enviar(std::function<void()> t) override { real_.enviar(std::move(t)); }
  void enviarDespues(double, std::function<void()>) override {}

 private:
  ColaGlobal& real_;
};

class AplicacionQuieta : public Aplicacion {
 public:
  void activar() override {}
  void terminar() override {}
};

// Seconds from `empezar` to the first state of each phase; empty when it did not reach
// "reabriendo".
std::map<std::string, double> porElActualizador(const fs::path& carpeta, const std::string& raiz,
                                                const std::string& ca, const std::string& url,
                                                const std::string& sha, std::int64_t tamano) {
  fs::remove_all(carpeta / "Aplicaciones");
  fs::remove_all(carpeta / "cache");
  escribirInfo(carpeta / "Aplicaciones/Foo.app", "1");

  PlataformaLinux linux(raiz);
  pruebas::PaqueteFijo paquete;
  pruebas::EntornoFijo entorno;
  pruebas::CarpetasFijas carpetas;
  AplicacionQuieta aplicacion;
  ProcesosDelBanco procesos(linux.procesos());
  paquete.rutaFija = (carpeta / "Aplicaciones/Foo.app").string();
  paquete.infoFija = Diccionario{
      {"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}, {"CFBundleVersion", "1"}};
  entorno.variables["KESTRAVON_DESTINO"] = (carpeta / "Aplicaciones").string();
  carpetas.cachesFija = (carpeta / "cache").string();
  Plataforma p = linux.plataforma();
  p.paquete = &paquete, p.entorno = &entorno, p.carpetas = &carpetas;
  p.aplicacion = &aplicacion, p.procesos = &procesos;
  ColaGlobalSinDemoras global(*p.colaGlobal);
  p.colaGlobal = &global;
  linux.red().confiarEn(ca);
  ReglasDeActualizacion reglas(p);
  Instalador instalador(p, reglas);
  Actualizador act(p, reglas, instalador);

  const pid_t anfitrion = fork();
  if (anfitrion == 0) {
    alarm(600);  // never outlives a bench that was killed
    pause();
    _exit(0);
  }
  procesos.anfitrion = anfitrion;

  std::map<std::string, double> fases;
  std::string ultima;
  auto inicio = Monotono::now();
  const std::uint64_t observador =
      p.notificaciones->observar("com.ej.Foo.actualizacion", [&](const Diccionario& d) {
        const std::string* f = textoDe(d, "fase");
        if (f && !fases.count(*f)) fases[*f] = segundosDesde(inicio);
        if (f) ultima = *f;
      });
  const Diccionario pedido{{"url", Valor(url)},
                           {"sha256", Valor(sha)},
                           {"build", Valor(std::int64_t{2})},
                           {"tamano", Valor(tamano)}};
  if (act.empezar(pedido))
    while (ultima != "reabriendo" && ultima != "fallo" && segundosDesde(inicio) < 600)
      p.colaPrincipal->correrDurante(0.005);
  // Let `terminar`, 0.8 s after "reabriendo", run while the updater still exists.
  p.colaPrincipal->correrDurante(1.0);
  p.notificaciones->dejarDeObservar(observador);
  if (ultima != "reabriendo") {
    const Diccionario estado = act.estado();
    const std::string* motivo = textoDe(estado, "motivo");
    std::fprintf(stderr, "the updater ended in phase %s (%s)\n", ultima.c_str(),
                 motivo ? motivo->c_str() : "");
    fases.clear();
  }
  // The swap itself is not measured: stop the script before the stand-in ends.
  for (std::int32_t pid : procesos.lanzados) kill(-pid, SIGKILL), kill(pid, SIGKILL);
  kill(anfitrion, SIGKILL);
  waitpid(anfitrion, nullptr, 0);
  return fases;
}

struct Herramientas {
  double descarga = -1, resumen = -1, desempaquetado = -1, firmas = -1;
  double total() const { return descarga + resumen + desempaquetado + firmas; }
  bool bien() const { return descarga >= 0 && resumen >= 0 && desempaquetado >= 0 && firmas >= 0; }
};

Herramientas porLasHerramientas(const fs::path& carpeta, const fs::path& ca,
                                const std::string& url) {
  Herramientas h;
  const fs::path zip = carpeta / "curl.zip", dentro = carpeta / "bsdtar";
  fs::remove_all(dentro);
  fs::create_directories(dentro);
  h.descarga =
      orden("curl -sS --cacert " + comillas(ca) + " -o " + comillas(zip) + " '" + url + "'");
  h.resumen = orden("openssl dgst -sha256 " + comillas(zip) + " >/dev/null");
  h.desempaquetado = orden("bsdtar -xf " + comillas(zip) + " -C " + comillas(dentro));
  h.firmas = orden("find " + comillas(dentro) +
                   " -type f -print0 | xargs -0 -P2 -n500 openssl dgst -sha256 >/dev/null");
  fs::remove(zip);
  fs::remove_all(dentro);
  return h;
}

double mediana(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int archivos = argc > 1 ? std::max(10, std::atoi(argv[1])) : 3000;
  const int rondas = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  std::string plantilla = (fs::temp_directory_path() / "ovelmar-bench-act-XXXXXX").string();
  if (!mkdtemp(plantilla.data())) return 1;
  const fs::path carpeta(plantilla);
  setenv("HOME", carpeta.c_str(), 1);  // nothing of the user's is read or written
  setenv("XDG_CONFIG_HOME", (carpeta / "config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (carpeta / "cache").c_str(), 1);
  signal(SIGPIPE, SIG_IGN);

  std::printf("making build 2: %d files, signing, notarising and zipping it…\n", archivos);
  std::fflush(stdout);
  const fs::path nueva = carpeta / "nueva", zip = carpeta / "Foo-2.zip";
  const std::uint64_t bytes =
      generar(nueva / "Foo.app", archivos,
              (std::uint64_t{205} << 20) * static_cast<std::uint64_t>(archivos) / 3000);
  pruebas::AutoridadDePrueba autoridad;
  if (std::string e = autoridad.firmarYNotarizar(nueva / "Foo.app", kEquipo); !e.empty()) {
    std::fprintf(stderr, "signing failed: %s\n", e.c_str());
    return 1;
  }
  if (orden("cd " + comillas(nueva) + " && zip -qry " + comillas(zip) + " Foo.app") < 0) return 1;
  fs::remove_all(nueva);
  const auto tamano = static_cast<std::int64_t>(fs::file_size(zip));
  if (tamano > ReglasDeActualizacion::tamanoMaximo) {
    std::fprintf(stderr, "the archive is larger than an update may be\n");
    return 1;
  }

  int resultado = 0;
  std::vector<double> descarga, comprobacion, cambio, total, resumen, resumenOpenssl;
  std::vector<Herramientas> herramientas;
  {
    pruebas::ServidorHttps servidor(carpeta);
    pruebas::Recurso r;
    r.archivo = zip.string();
    r.trozo = 256 * 1024;
    servidor.publicar("/Foo-2.zip", r);
    const fs::path ca = servidor.ca();
    const std::string url = servidor.url("/Foo-2.zip");

    PlataformaLinux linux;
    Plataforma p = linux.plataforma();
    const std::string sha = Actualizador::sha256(p, zip.string()).value_or("");
    for (int i = 0; i < rondas && resultado == 0; ++i) {
      auto t = Monotono::now();
      const bool igual = Actualizador::sha256(p, zip.string()) == sha;
      resumen.push_back(segundosDesde(t));
      resumenOpenssl.push_back(orden("openssl dgst -sha256 " + comillas(zip) + " >/dev/null"));

      herramientas.push_back(porLasHerramientas(carpeta, ca, url));
      std::map<std::string, double> f =
          porElActualizador(carpeta, autoridad.raiz(), servidor.ca(), url, sha, tamano);
      if (f.empty() || !herramientas.back().bien() || !igual) {
        if (!herramientas.back().bien()) std::fprintf(stderr, "a tool failed\n");
        if (!igual) std::fprintf(stderr, "the updater's digest of the archive is wrong\n");
        resultado = 1;
        break;
      }
      descarga.push_back(f["comprobando"]);
      comprobacion.push_back(f["instalando"] - f["comprobando"]);
      cambio.push_back(f["reabriendo"] - f["instalando"]);
      total.push_back(f["reabriendo"]);
      const Herramientas& h = herramientas.back();
      std::printf("round %d: updater %.2f s to \"reabriendo\"; tools %.2f s\n", i + 1, total.back(),
                  h.total());
      std::fflush(stdout);
    }
  }
  std::error_code e;
  fs::remove_all(carpeta, e);
  if (resultado != 0) return resultado;

  auto campo = [&](double Herramientas::*m) {
    std::vector<double> v;
    for (const Herramientas& h : herramientas) v.push_back(h.*m);
    return mediana(v);
  };
  std::vector<double> totales;
  for (const Herramientas& h : herramientas) totales.push_back(h.total());
  const double mibArchivo = static_cast<double>(tamano) / (1 << 20);
  std::printf("\nbuild 2: %d files, %.1f MiB unpacked, archive %.1f MiB; median of %d rounds\n",
              archivos, static_cast<double>(bytes) / (1 << 20), mibArchivo, rondas);
  std::printf("updater                                   tools\n");
  std::printf("  download             %6.2f s           curl                      %6.2f s\n",
              mediana(descarga), campo(&Herramientas::descarga));
  std::printf("  verification         %6.2f s           openssl dgst (archive)    %6.2f s\n",
              mediana(comprobacion), campo(&Herramientas::resumen));
  std::printf("    (digest, unpacking, identity, signature)  bsdtar -xf      %6.2f s\n",
              campo(&Herramientas::desempaquetado));
  std::printf("                                            openssl dgst, 2 processes %6.2f s\n",
              campo(&Herramientas::firmas));
  std::printf("  swap script started  %6.2f s\n", mediana(cambio));
  std::printf("  to \"reabriendo\"      %6.2f s           sum                       %6.2f s\n",
              mediana(total), mediana(totales));
  std::printf("archive digest alone: updater %.0f MiB/s, openssl dgst %.0f MiB/s (ratio %.2f)\n",
              mibArchivo / mediana(resumen), mibArchivo / mediana(resumenOpenssl),
              mediana(resumen) / mediana(resumenOpenssl));
  std::printf("ratio %.2f\n", mediana(total) / mediana(totales));
  return 0;
}
