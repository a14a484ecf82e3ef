// ditto: the two forms of the macOS tool that the component runs.
//   ditto <source>... <destination>   copies keeping modes, symbolic links and extended
//                                     attributes; a source folder is merged into the
//                                     destination folder, which is created if needed
//   ditto -x -k <archive.zip> <folder>  extracts a PKZip archive into the folder, which is
//                                     created if needed
// Extraction takes archives nobody vouches for: see Desempaquetador for what it refuses.
// After a refusal nothing it wrote is left.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Plataforma/linux/ArchivosLinux.hpp"
#include "herramientas/desempaquetado/Desempaquetador.hpp"

namespace fs = std::filesystem;

namespace {

int fallar(const std::string& que, const std::string& porque) {
  std::fprintf(stderr, "ditto: %s: %s\n", que.c_str(), porque.c_str());
  return 1;
}

// ---- copying ----------------------------------------------------------------------------

bool esCarpeta(const struct stat& st) {
  return S_ISDIR(st.st_mode);
}

// Puts `de` at `a`: a folder onto an existing folder is merged entry by entry, anything
// else replaces what stood there. An existing link at `a` is replaced, never followed.
int copiarEn(const fs::path& de, const fs::path& a) {
  ovelmar::ArchivosLinux archivos;
  struct stat origen {
  }, destino{};
  if (lstat(de.c_str(), &origen) != 0) return fallar(de.string(), std::strerror(errno));
  const bool hayDestino = lstat(a.c_str(), &destino) == 0;
  if (hayDestino && esCarpeta(origen) && esCarpeta(destino)) {
    std::error_code e;
    for (fs::directory_iterator it(de, e), fin; !e && it != fin; it.increment(e))
      if (int r = copiarEn(it->path(), a / it->path().filename())) return r;
    if (e) return fallar(de.string(), e.message());
    // A folder that already existed: copiar() could not give it the attributes.
    ovelmar::copiarAtributos(de.string(), a.string());
    if (chmod(a.c_str(), origen.st_mode & 07777) != 0)
      return fallar(a.string(), std::strerror(errno));
    return 0;
  }
  if (hayDestino) {
    // A folder is not thrown away to make room for a file.
    if (esCarpeta(destino)) return fallar(a.string(), std::strerror(EISDIR));
    if (unlink(a.c_str()) != 0) return fallar(a.string(), std::strerror(errno));
  }
  if (ovelmar::Resultado r = archivos.copiar(de.string(), a.string()))
    return fallar(de.string(), r->descripcion);
  return 0;
}

int copiar(const std::vector<std::string>& fuentes, std::string destino) {
  struct stat st {};
  const bool carpetaExistente = stat(destino.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  // A destination given as a link to a folder means that folder.
  std::error_code resuelta;
  if (carpetaExistente) destino = fs::canonical(destino, resuelta).string();
  if (resuelta) return fallar(destino, resuelta.message());
  struct stat primera {};
  const bool primeraEsCarpeta =
      lstat(fuentes.front().c_str(), &primera) == 0 && S_ISDIR(primera.st_mode);
  if (fuentes.size() > 1 && !carpetaExistente) {
    std::error_code e;
    fs::create_directories(destino, e);
    if (e) return fallar(destino, e.message());
  } else if (!carpetaExistente || !primeraEsCarpeta) {
    std::error_code e;
    fs::path padre = fs::path(destino).parent_path();
    if (!padre.empty()) fs::create_directories(padre, e);
    if (e) return fallar(padre.string(), e.message());
  }
  for (const std::string& fuente : fuentes) {
    struct stat f {};
    if (lstat(fuente.c_str(), &f) != 0) return fallar(fuente, std::strerror(errno));
    // Folders are merged into the destination; a file goes into an existing folder.
    fs::path a = destino;
    if (!S_ISDIR(f.st_mode) && (fuentes.size() > 1 || carpetaExistente))
      a /= fs::path(fuente).filename();
    if (int r = copiarEn(fuente, a)) return r;
  }
  return 0;
}

// ---- extracting -------------------------------------------------------------------------

int extraer(const std::string& zip, const std::string& carpeta) {
  const unsigned nucleos = std::thread::hardware_concurrency();
  const ovelmar::Desempaquetador desempaquetador(ovelmar::Desempaquetador::Limites{},
                                                 nucleos >= 2 ? 2 : 1);
  if (std::optional<std::string> porque = desempaquetador.desempaquetar(zip, carpeta))
    return fallar(zip, *porque);
  return 0;
}

int uso() {
  std::fprintf(stderr,
               "usage: ditto src [...] dst\n"
               "       ditto -x -k archive.zip dst_directory\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool x = false, k = false;
  std::vector<std::string> resto;
  bool opciones = true;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (opciones && a == "--") {
      opciones = false;
    } else if (opciones && a.size() > 1 && a[0] == '-' && a[1] != '-') {
      for (char c : a.substr(1)) {
        if (c == 'x')
          x = true;
        else if (c == 'k')
          k = true;
        else
          return uso();
      }
    } else if (opciones && a.starts_with("--")) {
      return uso();
    } else {
      resto.emplace_back(a);
    }
  }
  if (k != x) return uso();  // -k without -x would create an archive: not supported
  if (x) return resto.size() == 2 ? extraer(resto[0], resto[1]) : uso();
  if (resto.size() < 2) return uso();
  std::string destino = resto.back();
  resto.pop_back();
  return copiar(resto, destino);
}
