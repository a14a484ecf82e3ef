// Delta updates against whole ones, in one run on the same release: build 1 of an
// application of about 3,000 files and 200 MiB is installed; build 2 changes 5 % of its
// files. Both builds are signed and notarised; build 2 is published whole and as a delta
// from build 1, both served over loopback HTTPS, and the updater takes each from the
// request to "reabriendo". The best general tool for the same job, a zstd patch of the
// tarred bundles (`zstd --patch-from`), is made and applied on the same data. Prints the
// sizes, the times, and on the last line the size of the delta against zstd's patch.
//
//   bench_delta [files=3000] [rounds=3]

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BancoDeActualizacion.hpp"
#include "Ovelmar/Actualizador.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "comun/AutoridadDePrueba.hpp"
#include "comun/ServidorHttps.hpp"
#include "herramientas/Publicador.hpp"

using namespace ovelmar;
using namespace ovelmar::banco;

namespace {

// Rewrites one file in twenty with other bytes of about the same size and sets the build.
int cambiar(const fs::path& app, const std::string& build) {
  escribirInfo(app, build);
  std::vector<fs::path> archivos;
  for (const auto& e : fs::recursive_directory_iterator(app / "Contents/Resources"))
    if (!e.is_symlink() && e.is_regular_file()) archivos.push_back(e.path());
  std::sort(archivos.begin(), archivos.end());
  std::mt19937_64 azar(23);
  int cambiados = 0;
  for (std::size_t i = 7; i < archivos.size(); i += 20, ++cambiados) {
    std::vector<std::uint64_t> datos(fs::file_size(archivos[i]) / 8 + 1);
    for (auto& x : datos) x = azar();
    std::ofstream(archivos[i], std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(datos.data()),
               static_cast<std::streamsize>(fs::file_size(archivos[i])));
  }
  return cambiados;
}

double mib(std::uintmax_t bytes) {
  return static_cast<double>(bytes) / (1 << 20);
}

}  // namespace

int main(int argc, char** argv) {
  const int archivos = argc > 1 ? std::max(20, std::atoi(argv[1])) : 3000;
  const int rondas = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const fs::path carpeta = carpetaDelBanco("delta");
  if (carpeta.empty()) return 1;
  const std::string equipo(ReglasDeActualizacion::equipo);

  std::printf("making builds 1 and 2 (%d files), signing, notarising and publishing them…\n",
              archivos);
  std::fflush(stdout);
  const fs::path vieja = carpeta / "vieja/Foo.app", nueva = carpeta / "nueva/Foo.app";
  const std::uint64_t bytes =
      generar(vieja, archivos,
              (std::uint64_t{205} << 20) * static_cast<std::uint64_t>(archivos) / 3000, "1");
  pruebas::AutoridadDePrueba autoridad;
  if (!autoridad.firmarYNotarizar(vieja, equipo).empty()) return 1;
  fs::create_directories(nueva);
  fs::copy(vieja, nueva, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const int cambiados = cambiar(nueva, "2");
  if (!autoridad.firmarYNotarizar(nueva, equipo).empty()) return 1;
  const fs::path entero = carpeta / "Foo-2.zip", delta = carpeta / "Foo-2-desde-1.zip";
  if (archivarPaquete(nueva.string(), entero.string()) ||
      archivarPaquete(nueva.string(), delta.string(), nullptr, vieja.string())) {
    std::fprintf(stderr, "zipping failed\n");
    return 1;
  }

  // zstd's patch of the tarred builds, made and applied.
  const std::string tar1 = comillas(carpeta / "1.tar"), tar2 = comillas(carpeta / "2.tar"),
                    parche = comillas(carpeta / "2.tar.zst");
  if (orden("tar -cf " + tar1 + " -C " + comillas(vieja.parent_path()) + " Foo.app && tar -cf " +
            tar2 + " -C " + comillas(nueva.parent_path()) + " Foo.app") < 0)
    return 1;
  const double hacerParche =
      orden("zstd -q -f -3 --long=28 --patch-from=" + tar1 + " " + tar2 + " -o " + parche);
  if (hacerParche < 0) return 1;
  const auto tamanoParche = fs::file_size(carpeta / "2.tar.zst");

  int resultado = 0;
  std::vector<double> enteros, deltas, zstd;
  {
    pruebas::ServidorHttps servidor(carpeta);
    pruebas::Recurso r;
    r.trozo = 256 * 1024;
    r.archivo = entero.string();
    servidor.publicar("/Foo-2.zip", r);
    r.archivo = delta.string();
    servidor.publicar("/Foo-2-desde-1.zip", r);
    PlataformaLinux linux;
    Plataforma p = linux.plataforma();
    auto pedido = [&](const fs::path& zip, bool esDelta) {
      Diccionario d{{"url", Valor(servidor.url("/" + zip.filename().string()))},
                    {"sha256", Valor(Actualizador::sha256(p, zip.string()).value_or(""))},
                    {"build", Valor(std::int64_t{2})},
                    {"tamano", Valor(static_cast<std::int64_t>(fs::file_size(zip)))}};
      if (esDelta) d["base"] = Valor(std::int64_t{1});
      return d;
    };
    const Diccionario pedidoEntero = pedido(entero, false), pedidoDelta = pedido(delta, true);
    for (int i = 0; i < rondas && resultado == 0; ++i) {
      auto e = porElActualizador(carpeta, autoridad.raiz(), servidor.ca(), pedidoEntero, vieja);
      auto d = porElActualizador(carpeta, autoridad.raiz(), servidor.ca(), pedidoDelta, vieja);
      fs::remove_all(carpeta / "zstd");
      fs::create_directories(carpeta / "zstd");
      const double z = orden("zstd -q -d --long=28 --patch-from=" + tar1 + " " + parche +
                             " -c | tar -xf - -C " + comillas(carpeta / "zstd"));
      if (e.empty() || d.empty() || z < 0) {
        resultado = 1;
        break;
      }
      enteros.push_back(e["reabriendo"]);
      deltas.push_back(d["reabriendo"]);
      zstd.push_back(z);
      std::printf(
          "round %d: whole %.2f s, delta %.2f s to \"reabriendo\"; zstd patch applied %.2f s\n",
          i + 1, enteros.back(), deltas.back(), zstd.back());
      std::fflush(stdout);
    }
  }
  const auto tamanoEntero = fs::file_size(entero), tamanoDelta = fs::file_size(delta);
  std::error_code e;
  fs::remove_all(carpeta, e);
  if (resultado != 0) return resultado;

  std::printf("\nbuild 2: %d files, %.1f MiB, %d files changed; median of %d rounds\n", archivos,
              mib(bytes), cambiados, rondas);
  std::printf("whole archive       %8.1f MiB   %6.2f s to \"reabriendo\"\n", mib(tamanoEntero),
              mediana(enteros));
  std::printf(
      "delta from build 1  %8.1f MiB   %6.2f s to \"reabriendo\"   (%.1f %% of the whole "
      "archive, %.2f of its time)\n",
      mib(tamanoDelta), mediana(deltas),
      100.0 * static_cast<double>(tamanoDelta) / static_cast<double>(tamanoEntero),
      mediana(deltas) / mediana(enteros));
  std::printf("zstd --patch-from   %8.1f MiB   made in %.2f s, applied and untarred in %.2f s\n",
              mib(tamanoParche), hacerParche, mediana(zstd));
  std::printf("ratio %.2f\n", static_cast<double>(tamanoDelta) / static_cast<double>(tamanoParche));
  return 0;
}
