// The unpacking of ditto -x -k over arbitrary bytes: each input is written to a file and
// unpacked into a fresh folder beside it. Whatever the bytes, nothing may appear outside
// that folder, and a refused archive leaves not even the folder.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "herramientas/desempaquetado/Desempaquetador.hpp"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
  static const fs::path base = [] {
    std::string plantilla = (fs::temp_directory_path() / "fuzz-desempaquetado-XXXXXX").string();
    if (!mkdtemp(plantilla.data())) std::abort();
    return fs::path(plantilla);
  }();
  // Small limits keep one run quick; the code that enforces them is the same.
  static const ovelmar::Desempaquetador desempaquetador({.bytes = 16 << 20, .entradas = 2000}, 2);
  const fs::path zip = base / "a.zip", carpeta = base / "carpeta";
  if (FILE* f = std::fopen(zip.c_str(), "wb")) {
    if (largo > 0 && std::fwrite(datos, 1, largo, f) != largo) std::abort();
    std::fclose(f);
  } else {
    std::abort();
  }
  const bool bien = !desempaquetador.desempaquetar(zip.string(), carpeta.string());
  std::size_t cuantos = 0;
  for (const auto& e : fs::directory_iterator(base)) {
    ++cuantos;
    if (e.path() != zip && e.path() != carpeta) __builtin_trap();  // written outside
  }
  if (cuantos != (bien ? 2u : 1u)) __builtin_trap();  // a refusal left the folder
  std::error_code e;
  fs::permissions(carpeta, fs::perms::owner_all, fs::perm_options::add, e);
  for (auto it = fs::recursive_directory_iterator(carpeta, e); !e && it != fs::end(it);
       it.increment(e))
    if (!it->is_symlink())
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, e);
  fs::remove_all(carpeta, e);
  return 0;
}
