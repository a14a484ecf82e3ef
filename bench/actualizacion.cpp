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

#include "BancoDeActualizacion.hpp"
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

using namespace banco;
const std::string kEquipo(ReglasDeActualizacion::equipo);

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

}  // namespace

int main(int argc, char** argv) {
  const int archivos = argc > 1 ? std::max(10, std::atoi(argv[1])) : 3000;
  const int rondas = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const fs::path carpeta = carpetaDelBanco("act");
  if (carpeta.empty()) return 1;

  std::printf("making build 2: %d files, signing, notarising and zipping it…\n", archivos);
  std::fflush(stdout);
  const fs::path nueva = carpeta / "nueva", zip = carpeta / "Foo-2.zip";
  const std::uint64_t bytes =
      generar(nueva / "Foo.app", archivos,
              (std::uint64_t{205} << 20) * static_cast<std::uint64_t>(archivos) / 3000, "2");
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
      const Diccionario pedido{{"url", Valor(url)},
                               {"sha256", Valor(sha)},
                               {"build", Valor(std::int64_t{2})},
                               {"tamano", Valor(tamano)}};
      std::map<std::string, double> f =
          porElActualizador(carpeta, autoridad.raiz(), servidor.ca(), pedido);
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
