// Downloads one large archive over loopback HTTPS from a real server, in the same run:
//  - with the `curl` program,
//  - through the updater (Actualizador::empezar) on the real Linux session,
//  - through the session alone (RedLinux, no updater),
// and prints the updater's throughput against curl's, the longest wait of a main-queue
// item during the transfer, the progress notifications per second and the growth of
// the peak resident memory.
//
//   bench_descarga [MiB=200] [rounds=5]

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Ovelmar/Actualizador.hpp"
#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/RedLinux.hpp"
#include "comun/Dobles.hpp"
#include "comun/ServidorHttps.hpp"

namespace fs = std::filesystem;
using namespace ovelmar;
using Monotono = std::chrono::steady_clock;

namespace {

double segundosDesde(Monotono::time_point t) {
  return std::chrono::duration<double>(Monotono::now() - t).count();
}

// Peak resident set size of this process, in KiB.
long vmHwm() {
  std::ifstream f("/proc/self/status");
  std::string linea;
  while (std::getline(f, linea))
    if (linea.rfind("VmHWM:", 0) == 0) return std::atol(linea.c_str() + 6);
  return -1;
}

void escribirAlAzar(const fs::path& ruta, std::int64_t bytes) {
  std::ofstream f(ruta, std::ios::binary);
  std::mt19937_64 azar(42);
  std::vector<std::uint64_t> bloque(1 << 17);  // 1 MiB
  for (std::int64_t hecho = 0; hecho < bytes;) {
    for (auto& x : bloque) x = azar();
    auto n = std::min<std::int64_t>(bytes - hecho, bloque.size() * 8);
    f.write(reinterpret_cast<const char*>(bloque.data()), n);
    hecho += n;
  }
}

bool iguales(const fs::path& a, const fs::path& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (fa && fb) {
    fa.read(ba.data(), ba.size());
    fb.read(bb.data(), bb.size());
    if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
      return false;
  }
  return fa.eof() && fb.eof();
}

// Sends an item to the main queue every 5 ms from another thread and keeps the longest
// time one waited before it ran.
class Sonda {
 public:
  explicit Sonda(ColaPrincipal& cola) : cola_(cola) {
    hilo_ = std::thread([this] {
      while (!parar_) {
        auto enviado = Monotono::now();
        ++pendientes_;
        cola_.enviar([this, enviado] {
          double espera = segundosDesde(enviado);
          if (espera > maximo_) maximo_ = espera;
          ++muestras_;
          --pendientes_;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  // Stops sending and lets the items already sent run.
  double terminar() {
    parar_ = true;
    hilo_.join();
    for (int i = 0; i < 200 && pendientes_ > 0; ++i) cola_.correrDurante(0.005);
    return maximo_;
  }
  long muestras() const { return muestras_; }

 private:
  ColaPrincipal& cola_;
  std::thread hilo_;
  std::atomic<bool> parar_{false};
  std::atomic<int> pendientes_{0};
  double maximo_ = 0;  // main thread only
  long muestras_ = 0;
};

struct Medida {
  double segundos = 0;
  double esperaMaxima = 0;  // of a main-queue item
  double avisosPorSegundo = 0;
  int avisosEnUnSegundo = 0;  // most in any one-second window
  bool bien = false;
};

double curl(const std::string& url, const std::string& ca, const fs::path& salida) {
  std::vector<std::string> args = {"curl", "-sS", "--cacert", ca, "-o", salida.string(), url};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto t = Monotono::now();
  pid_t pid;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int estado = 0;
  waitpid(pid, &estado, 0);
  double s = segundosDesde(t);
  return WIFEXITED(estado) && WEXITSTATUS(estado) == 0 ? s : -1;
}

// The application Foo installed at a place of the bench's own, on the real platform.
struct Banco {
  fs::path carpeta;
  pruebas::ServidorHttps servidor;
  PlataformaLinux linux;
  pruebas::PaqueteFijo paquete;
  pruebas::EntornoFijo entorno;
  pruebas::CarpetasFijas carpetas;
  Plataforma p;
  std::unique_ptr<ReglasDeActualizacion> reglas;
  std::unique_ptr<Instalador> instalador;

  explicit Banco(const fs::path& c) : carpeta(c), servidor(c) {
    fs::create_directories(carpeta / "Aplicaciones");
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}};
    paquete.rutaFija = (carpeta / "Aplicaciones/Foo.app").string();
    entorno.variables["KESTRAVON_DESTINO"] = (carpeta / "Aplicaciones").string();
    carpetas.cachesFija = (carpeta / "cache").string();
    p = linux.plataforma();
    p.paquete = &paquete;
    p.entorno = &entorno;
    p.carpetas = &carpetas;
    linux.red().confiarEn(servidor.ca());
    reglas = std::make_unique<ReglasDeActualizacion>(p);
    instalador = std::make_unique<Instalador>(p, *reglas);
  }
};

Medida porElActualizador(Banco& b, const std::string& url, std::int64_t tamano, std::int64_t build,
                         const fs::path& original) {
  Medida m;
  std::vector<double> avisos;  // seconds since the start of progress notifications
  Actualizador act(b.p, *b.reglas, *b.instalador);
  auto inicio = Monotono::now();
  auto fase = [&] {
    const Diccionario estado = act.estado();
    const std::string* f = textoDe(estado, "fase");
    return f ? *f : std::string();
  };
  std::uint64_t observador =
      b.p.notificaciones->observar("com.ej.Foo.actualizacion", [&](const Diccionario& d) {
        // Progress carries a real "progreso"; the start state's integer 0 is not progress.
        const std::string* f = textoDe(d, "fase");
        const Valor* progreso = buscar(d, "progreso");
        if (f && *f == "descargando" && progreso && progreso->real())
          avisos.push_back(segundosDesde(inicio));
        if (f && *f != "descargando" && m.segundos == 0) m.segundos = segundosDesde(inicio);
      });
  Sonda sonda(*b.p.colaPrincipal);
  Diccionario pedido{{"url", Valor(url)},
                     {"sha256", Valor(std::string(64, 'a'))},
                     {"build", Valor(build)},
                     {"tamano", Valor(tamano)}};
  if (act.empezar(pedido)) {
    while (fase() == "descargando" && segundosDesde(inicio) < 600)
      b.p.colaPrincipal->correrDurante(0.05);
  }
  if (m.segundos == 0) m.segundos = segundosDesde(inicio);
  m.esperaMaxima = sonda.terminar();
  b.p.notificaciones->dejarDeObservar(observador);
  m.avisosPorSegundo = static_cast<double>(avisos.size()) / std::max(m.segundos, 1.0);
  for (std::size_t i = 0; i < avisos.size(); ++i) {
    auto fin = std::lower_bound(avisos.begin() + i, avisos.end(), avisos[i] + 1.0);
    m.avisosEnUnSegundo = std::max(m.avisosEnUnSegundo, static_cast<int>(fin - avisos.begin() - i));
  }
  m.bien = fase() == "comprobando" && iguales(act.zip(Pedido{url, {}, build, tamano}), original);
  if (!m.bien) std::fprintf(stderr, "updater ended in phase %s\n", fase().c_str());
  return m;
}

// The session alone: no updater, no notifications.
class Fin : public DelegadoDeDescarga {
 public:
  bool listo = false, bien = false;
  fs::path destino;
  Monotono::time_point fin;
  void progreso(SesionDeDescarga&, TareaDeDescarga&, std::int64_t, std::int64_t,
                std::int64_t) override {}
  void terminado(SesionDeDescarga&, TareaDeDescarga& t, const std::string& u) override {
    bien = t.respuesta() == 200 && std::rename(u.c_str(), destino.c_str()) == 0;
  }
  void completado(SesionDeDescarga&, TareaDeDescarga&,
                  const std::optional<ErrorDeRed>& e) override {
    listo = true;
    fin = Monotono::now();
    bien = bien && !e;
  }
};

Medida porLaSesion(Banco& b, const std::string& url, std::int64_t tamano, const fs::path& destino) {
  Medida m;
  Fin fin;
  fin.destino = destino;
  auto inicio = Monotono::now();
  Sonda sonda(*b.p.colaPrincipal);
  auto sesion = b.p.red->crearSesion(ConfiguracionDeSesion{}, fin);
  sesion
      ->tarea(url, OpcionesDeTarea{.archivoParcial = (b.carpeta / "sesion.parcial").string(),
                                   .limiteDeBytes = tamano})
      ->empezar();
  while (!fin.listo && segundosDesde(inicio) < 600) b.p.colaPrincipal->correrDurante(0.05);
  m.segundos =
      std::chrono::duration<double>((fin.listo ? fin.fin : Monotono::now()) - inicio).count();
  m.esperaMaxima = sonda.terminar();
  sesion->terminarEInvalidar();
  m.bien = fin.bien;
  return m;
}

template <typename F>
double mediana(std::vector<Medida>& v, F campo) {
  std::vector<double> x;
  for (auto& m : v) x.push_back(campo(m));
  std::sort(x.begin(), x.end());
  return x.empty() ? 0 : x[x.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t mib = argc > 1 ? std::atoll(argv[1]) : 200;
  const int rondas = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::int64_t tamano = mib * 1024 * 1024;

  std::string plantilla = (fs::temp_directory_path() / "ovelmar-bench-XXXXXX").string();
  if (!mkdtemp(plantilla.data())) return 1;
  const fs::path carpeta(plantilla);
  // Nothing of the user's is read or written.
  setenv("HOME", carpeta.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (carpeta / "config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (carpeta / "cache").c_str(), 1);
  signal(SIGPIPE, SIG_IGN);

  const fs::path original = carpeta / "original.zip";
  escribirAlAzar(original, tamano);
  int resultado = 0;
  {
    Banco banco(carpeta);
    pruebas::Recurso r;
    r.archivo = original.string();
    r.trozo = 256 * 1024;
    banco.servidor.publicar("/Foo.zip", r);
    const std::string url = banco.servidor.url("/Foo.zip");

    const long memoriaAntes = vmHwm();
    std::vector<double> conCurl;
    std::vector<Medida> actualizador, sesion;
    for (int i = 0; i < rondas; ++i) {
      const fs::path salida = carpeta / "curl.zip";
      conCurl.push_back(curl(url, banco.servidor.ca(), salida));
      bool bienCurl = conCurl.back() > 0 && iguales(salida, original);
      fs::remove(salida);
      actualizador.push_back(porElActualizador(banco, url, tamano, 100 + i, original));
      fs::remove_all(carpeta / "cache");
      sesion.push_back(porLaSesion(banco, url, tamano, carpeta / "sesion.zip"));
      bool bienSesion = sesion.back().bien && iguales(carpeta / "sesion.zip", original);
      fs::remove(carpeta / "sesion.zip");
      std::printf("round %d: curl %.3f s%s, updater %.3f s%s, session %.3f s%s\n", i + 1,
                  conCurl.back(), bienCurl ? "" : " (FAILED)", actualizador.back().segundos,
                  actualizador.back().bien ? "" : " (FAILED)", sesion.back().segundos,
                  bienSesion ? "" : " (FAILED)");
      if (!bienCurl || !actualizador.back().bien || !bienSesion) resultado = 1;
    }
    // The throttle shows only over a transfer of some seconds: the same archive, paced.
    r.pausaMs = 15;
    r.trozo = 1024 * 1024;
    banco.servidor.publicar("/Lento.zip", r);
    Medida lenta = porElActualizador(banco, banco.servidor.url("/Lento.zip"), tamano, 99, original);
    fs::remove_all(carpeta / "cache");
    if (!lenta.bien) resultado = 1;
    const long memoriaDespues = vmHwm();

    std::sort(conCurl.begin(), conCurl.end());
    const double mib_s = static_cast<double>(mib);
    const double curlS = conCurl[conCurl.size() / 2];
    const double actS = mediana(actualizador, [](const Medida& m) { return m.segundos; });
    const double sesS = mediana(sesion, [](const Medida& m) { return m.segundos; });
    double espera = 0, avisos = 0;
    int avisosEnUnSegundo = 0;
    for (auto& m : actualizador) {
      espera = std::max({espera, m.esperaMaxima});
      avisos = std::max(avisos, m.avisosPorSegundo);
      avisosEnUnSegundo = std::max(avisosEnUnSegundo, m.avisosEnUnSegundo);
    }
    for (auto& m : sesion) espera = std::max(espera, m.esperaMaxima);
    espera = std::max(espera, lenta.esperaMaxima);

    std::printf("\n%lld MiB over loopback HTTPS, median of %d rounds\n",
                static_cast<long long>(mib), rondas);
    std::printf("curl program        %8.1f MiB/s\n", mib_s / curlS);
    std::printf("updater (session)   %8.1f MiB/s   ratio to curl %.2f (target >= 0.90)\n",
                mib_s / actS, curlS / actS);
    std::printf("session alone       %8.1f MiB/s   ratio to curl %.2f\n", mib_s / sesS,
                curlS / sesS);
    std::printf("longest main-queue wait during transfers  %.1f ms (target < 20 ms)\n",
                espera * 1000);
    std::printf(
        "progress notifications  at most %d in any one-second window (target <= 4); "
        "%.1f per second over the longest transfer\n",
        avisosEnUnSegundo, avisos);
    std::printf(
        "  paced transfer of %.1f s: at most %d in any one-second window, %.1f per "
        "second\n",
        lenta.segundos, lenta.avisosEnUnSegundo, lenta.avisosPorSegundo);
    std::printf(
        "peak resident memory  %ld KiB before, %ld KiB after: +%.1f MiB (target < 32 "
        "MiB)\n",
        memoriaAntes, memoriaDespues, (memoriaDespues - memoriaAntes) / 1024.0);
  }
  std::error_code e;
  fs::remove_all(carpeta, e);
  return resultado;
}
