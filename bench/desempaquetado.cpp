// Unpacks one application-sized archive, in the same run:
//  - with the ditto stand-in (`ditto -x -k`), as the updater runs it,
//  - with `bsdtar -xf`,
//  - in this process with one and with two workers (no program start),
// checks that the tool and bsdtar leave the same tree, and prints the median of each with
// the tool's time over bsdtar's on the last line.
//
//   bench_desempaquetado [MiB=200] [files=3000] [rounds=5]

#include <spawn.h>
#include <sys/stat.h>
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

#include "herramientas/desempaquetado/Desempaquetador.hpp"

namespace fs = std::filesystem;
using Monotono = std::chrono::steady_clock;

namespace {

double segundos(const std::function<bool()>& hacer, bool& bien) {
  const auto t = Monotono::now();
  bien = hacer() && bien;
  return std::chrono::duration<double>(Monotono::now() - t).count();
}

bool correr(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int estado = 0;
  waitpid(pid, &estado, 0);
  return WIFEXITED(estado) && WEXITSTATUS(estado) == 0;
}

// Half the files text-like (deflates well), half random (does not).
void escribir(const fs::path& ruta, std::size_t bytes, std::mt19937_64& azar, bool texto) {
  static const char* const palabras[] = {"bundle ", "resource ", "version ",   "<key>",  "</key>\n",
                                         "string ", "integer ",  "localized ", "image ", "nib "};
  std::string s;
  s.reserve(bytes + 16);
  while (s.size() < bytes) {
    if (texto) {
      s += palabras[azar() % 10];
    } else {
      const std::uint64_t x = azar();
      s.append(reinterpret_cast<const char*>(&x), 8);
    }
  }
  s.resize(bytes);
  fs::create_directories(ruta.parent_path());
  std::ofstream(ruta, std::ios::binary).write(s.data(), static_cast<std::streamsize>(s.size()));
}

// An application bundle of `archivos` files of 1 KiB to 2 MiB, about `total` bytes, with
// frameworks that carry the usual links.
std::uint64_t crearApp(const fs::path& app, std::uint64_t total, int archivos) {
  std::mt19937_64 azar(7);
  std::vector<double> tamanos(archivos);
  double suma = 0;
  for (double& t : tamanos) suma += t = std::exp(std::uniform_real_distribution<>(0, 7.62)(azar));
  std::uint64_t escrito = 0;
  for (int i = 0; i < archivos; ++i) {
    const auto bytes = static_cast<std::size_t>(
        std::clamp(tamanos[i] * static_cast<double>(total) / suma, 1024.0, 2097152.0));
    const fs::path ruta = i < 10 ? app / ("Contents/Frameworks/L" + std::to_string(i) +
                                          ".framework/Versions/A/L" + std::to_string(i))
                                 : app / ("Contents/Resources/d" + std::to_string(i % 97) + "/f" +
                                          std::to_string(i) + (i % 2 ? ".txt" : ".bin"));
    escribir(ruta, bytes, azar, i % 2 == 1);
    escrito += bytes;
  }
  for (int i = 0; i < 10; ++i) {
    const fs::path f = app / ("Contents/Frameworks/L" + std::to_string(i) + ".framework");
    fs::create_directory_symlink("A", f / "Versions/Current");
    fs::create_symlink("Versions/Current/L" + std::to_string(i), f / ("L" + std::to_string(i)));
    fs::create_directory_symlink("Versions/Current/Resources", f / "Resources");
  }
  return escrito;
}

// Type, permission bits, content or link target of everything below `raiz`.
std::map<std::string, std::string> arbol(const fs::path& raiz) {
  std::map<std::string, std::string> r;
  for (const auto& e : fs::recursive_directory_iterator(raiz)) {
    struct stat st {};
    lstat(e.path().c_str(), &st);
    std::string& v = r[fs::relative(e.path(), raiz).string()];
    v = std::to_string(st.st_mode) + " ";
    if (e.is_symlink()) {
      v += fs::read_symlink(e.path()).string();
    } else if (e.is_regular_file()) {
      std::ifstream f(e.path(), std::ios::binary);
      v.append(std::istreambuf_iterator<char>(f), {});
    }
  }
  return r;
}

double mediana(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
  const int archivos = argc > 2 ? std::atoi(argv[2]) : 3000;
  const int rondas = argc > 3 ? std::atoi(argv[3]) : 5;

  std::string plantilla = (fs::temp_directory_path() / "ovelmar-bench-XXXXXX").string();
  if (!mkdtemp(plantilla.data())) return 1;
  const fs::path carpeta(plantilla);
  const std::string zip = (carpeta / "Foo.zip").string();
  const std::string conDitto = (carpeta / "ditto").string(),
                    conBsdtar = (carpeta / "bsdtar").string();

  std::printf("making an archive of %d files ...\n", archivos);
  const std::uint64_t bytes = crearApp(carpeta / "origen/Foo.app", mib << 20, archivos);
  if (!correr({"/usr/bin/bsdtar", "--format", "zip", "-cf", zip, "-C",
               (carpeta / "origen").string(), "Foo.app"}))
    return 1;
  std::printf("%.1f MiB in %d files, archive %.1f MiB\n", static_cast<double>(bytes) / 1048576,
              archivos, static_cast<double>(fs::file_size(zip)) / 1048576);

  bool bien = true;
  const auto ditto = [&] { return correr({DITTO, "-x", "-k", zip, conDitto}); };
  const auto bsdtar = [&] {
    fs::create_directory(conBsdtar);
    return correr({"/usr/bin/bsdtar", "-xf", zip, "-C", conBsdtar});
  };
  const auto enProceso = [&](unsigned trabajadores) {
    return [&, trabajadores] {
      return !ovelmar::Desempaquetador({}, trabajadores).desempaquetar(zip, conDitto);
    };
  };
  // Once untimed: the page cache holds the archive, and both trees are compared.
  bien = ditto() && bsdtar();
  if (bien) {
    const auto a = arbol(conDitto), b = arbol(conBsdtar);
    auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (x != a.end() || y != b.end()) {
      std::fprintf(stderr, "ditto and bsdtar left different trees, first at %s\n",
                   (x != a.end() ? x : y)->first.c_str());
      bien = false;
    }
  }
  std::vector<double> tDitto, tBsdtar, tUno, tDos;
  struct Forma {
    std::vector<double>& tiempos;
    std::function<bool()> hacer;
    const std::string& salida;
  };
  const Forma formas[] = {{tDitto, ditto, conDitto},
                          {tBsdtar, bsdtar, conBsdtar},
                          {tUno, enProceso(1), conDitto},
                          {tDos, enProceso(2), conDitto}};
  for (int i = 0; i < rondas && bien; ++i) {
    for (const Forma& f : formas) {
      fs::remove_all(f.salida);
      f.tiempos.push_back(segundos(f.hacer, bien));
    }
    std::printf(
        "round %d: ditto %.3f s, bsdtar %.3f s, in process %.3f s (1 worker) %.3f s "
        "(2 workers)%s\n",
        i + 1, tDitto.back(), tBsdtar.back(), tUno.back(), tDos.back(), bien ? "" : " (FAILED)");
  }
  if (!bien) {
    std::fprintf(stderr, "FAILED; the archive and both trees are kept in %s\n", carpeta.c_str());
    return 1;
  }
  std::error_code e;
  fs::remove_all(carpeta, e);
  const double mb = static_cast<double>(bytes) / 1048576;
  std::printf("\nmedian of %d rounds, %.1f MiB unpacked\n", rondas, mb);
  std::printf("bsdtar -xf                %7.3f s  %7.1f MiB/s\n", mediana(tBsdtar),
              mb / mediana(tBsdtar));
  std::printf("ditto -x -k               %7.3f s  %7.1f MiB/s\n", mediana(tDitto),
              mb / mediana(tDitto));
  std::printf("in process, 1 worker      %7.3f s  %7.1f MiB/s\n", mediana(tUno),
              mb / mediana(tUno));
  std::printf("in process, 2 workers     %7.3f s  %7.1f MiB/s\n", mediana(tDos),
              mb / mediana(tDos));
  std::printf("ratio %.2f\n", mediana(tDitto) / mediana(tBsdtar));
  return 0;
}
