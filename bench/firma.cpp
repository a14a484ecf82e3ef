// Validates the code signature of a generated bundle (about 3,000 files and 150 MiB:
// files of 1 KiB to 2 MiB, some links, a nested bundle) as the updater does, and in the
// same run hashes the same files with `openssl dgst -sha256` in two parallel processes.
// Both start from a warm page cache: each reads every file once, untimed, before the
// rounds. Prints the median times and, on the last line, the ratio validation / openssl.
//
//   bench_firma [files=3000] [rounds=5]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BancoDeActualizacion.hpp"
#include "Plataforma/linux/FirmaDeCodigoLinux.hpp"
#include "comun/AutoridadDePrueba.hpp"

namespace fs = std::filesystem;
using namespace ovelmar;
using banco::Monotono;

namespace {

const std::string kRequisito =
    "anchor apple generic and identifier \"com.ej.Banco\" and certificate "
    "1[field.1.2.840.113635.100.6.2.6] exists and certificate "
    "leaf[field.1.2.840.113635.100.6.1.13] exists and certificate leaf[subject.OU] = "
    "\"QZ7K4WM2XD\" and notarized";

void escribir(const fs::path& ruta, std::size_t bytes, std::mt19937_64& azar) {
  std::vector<std::uint64_t> datos(bytes / 8 + 1);
  for (auto& x : datos) x = azar();
  std::ofstream(ruta, std::ios::binary)
      .write(reinterpret_cast<const char*>(datos.data()), static_cast<std::streamsize>(bytes));
}

void info(const fs::path& paquete, const std::string& id) {
  fs::create_directories(paquete / "Contents");
  std::ofstream(paquete / "Contents/Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>"
      << id << "</string></dict></plist>\n";
}

struct Paquete {
  int archivos = 0, enlaces = 0;
  std::uint64_t bytes = 0;
};

// Sizes from 1 KiB to 2 MiB, most of them small, as in an application's resources.
Paquete generar(const fs::path& app, int archivos) {
  Paquete p;
  std::mt19937_64 azar(7);
  std::uniform_real_distribution<double> u(0, 1);
  info(app, "com.ej.Banco");
  const fs::path bar = app / "Contents/Frameworks/Bar.framework";
  info(bar, "com.ej.Bar");
  for (int i = 0; i < archivos; ++i) {
    const fs::path base = i % 10 == 0 ? bar / "Contents/Resources" : app / "Contents/Resources";
    const fs::path carpeta = base / ("d" + std::to_string(i % 60));
    fs::create_directories(carpeta);
    auto tamano = static_cast<std::size_t>(1024 * std::pow(2.0, 11 * std::pow(u(azar), 6)));
    escribir(carpeta / ("f" + std::to_string(i) + ".bin"), tamano, azar);
    p.bytes += tamano;
    ++p.archivos;
    if (i % 150 == 75 && i % 10 != 0) {
      fs::create_symlink(
          "../d" + std::to_string((i + 1) % 60) + "/f" + std::to_string(i + 1) + ".bin",
          carpeta / ("enlace" + std::to_string(i)));
      ++p.enlaces;
    }
  }
  return p;
}

// Seconds the validation took; negative when it did not pass.
double validar(FirmaDeCodigoLinux& firma, const RequisitoDeCodigo& requisito, const fs::path& app) {
  auto t = Monotono::now();
  std::unique_ptr<CodigoEstatico> codigo;
  std::optional<std::string> error;
  std::int32_t estado = firma.crearCodigoEstatico(app.string(), 0, codigo);
  if (estado == 0) estado = firma.comprobarValidez(*codigo, 0x19, &requisito, error);
  double s = banco::segundosDesde(t);
  if (estado != 0) std::fprintf(stderr, "validation failed (%d): %s\n", estado, error->c_str());
  return estado == 0 ? s : -1;
}

double openssl(const fs::path& app) {
  return banco::orden("find " + banco::comillas(app) +
                      " -type f -print0 | xargs -0 -P2 -n500 openssl dgst -sha256 >/dev/null");
}

}  // namespace

int main(int argc, char** argv) {
  const int archivos = argc > 1 ? std::atoi(argv[1]) : 3000;
  const int rondas = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const fs::path carpeta = banco::carpetaDelBanco("firma"), app = carpeta / "Banco.app";
  if (carpeta.empty()) return 1;

  std::printf("generating the bundle…\n");
  const Paquete p = generar(app, archivos);
  pruebas::AutoridadDePrueba autoridad;
  if (std::string e = autoridad.firmarYNotarizar(app, "QZ7K4WM2XD"); !e.empty()) {
    std::fprintf(stderr, "signing failed: %s\n", e.c_str());
    return 1;
  }
  FirmaDeCodigoLinux firma(autoridad.raiz());
  std::unique_ptr<RequisitoDeCodigo> requisito;
  if (firma.crearRequisito(kRequisito, 0, requisito) != 0) return 1;

  int resultado = 0;
  std::vector<double> nuestras, suyas;
  // The untimed first pass of each warms the page cache the same way.
  if (validar(firma, *requisito, app) < 0 || openssl(app) < 0) resultado = 1;
  for (int i = 0; i < rondas && resultado == 0; ++i) {
    nuestras.push_back(validar(firma, *requisito, app));
    suyas.push_back(openssl(app));
    std::printf("round %d: validation %.3f s, openssl %.3f s\n", i + 1, nuestras.back(),
                suyas.back());
    if (nuestras.back() < 0 || suyas.back() < 0) resultado = 1;
  }
  std::error_code e;
  fs::remove_all(carpeta, e);
  if (resultado != 0) return resultado;

  const double mib = static_cast<double>(p.bytes) / (1 << 20);
  const double v = banco::mediana(nuestras), o = banco::mediana(suyas);
  std::printf("\nbundle: %d files, %.1f MiB, %d links, one nested bundle; median of %d rounds\n",
              p.archivos, mib, p.enlaces, rondas);
  std::printf("validation, flags 0x19, 2 threads   %.3f s  %7.1f MiB/s\n", v, mib / v);
  std::printf("openssl dgst -sha256, 2 processes   %.3f s  %7.1f MiB/s\n", o, mib / o);
  std::printf("ratio %.2f\n", v / o);
  return 0;
}
