// ditto: the two forms of the macOS tool that the component runs.
//   ditto <source>... <destination>   copies keeping modes, symbolic links and extended
//                                     attributes; a source folder is merged into the
//                                     destination folder, which is created if needed
//   ditto -x -k <archive.zip> <folder>  extracts a PKZip archive into the folder, which is
//                                     created if needed
// Extraction refuses entries that would land outside the folder: absolute paths, ".."
// and paths through symbolic links that earlier entries planted. The "__MACOSX" folder
// of AppleDouble files is skipped.

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "Plataforma/linux/ArchivosLinux.hpp"

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

// A path that stays inside the folder: relative, no "..", not empty.
bool rutaSegura(const char* ruta) {
  if (!ruta || !*ruta || ruta[0] == '/') return false;
  std::string_view resto(ruta);
  while (!resto.empty()) {
    std::size_t barra = resto.find('/');
    std::string_view parte = resto.substr(0, barra);
    if (parte == "..") return false;
    if (barra == std::string_view::npos) break;
    resto.remove_prefix(barra + 1);
  }
  return true;
}

int extraer(const std::string& zip, const std::string& carpeta) {
  archive* lector = archive_read_new();
  archive_read_support_format_zip(lector);
  if (archive_read_open_filename(lector, zip.c_str(), 64 * 1024) != ARCHIVE_OK) {
    int r = fallar(zip, archive_error_string(lector) ? archive_error_string(lector) : "");
    archive_read_free(lector);
    return r;
  }
  std::error_code e;
  fs::create_directories(carpeta, e);
  // Entries are written relative to the folder, so the checks below see only the
  // archive's own paths. This program does nothing else, so changing its folder is safe.
  if (e || chdir(carpeta.c_str()) != 0) {
    archive_read_free(lector);
    return fallar(carpeta, e ? e.message() : std::strerror(errno));
  }
  archive* escritor = archive_write_disk_new();
  archive_write_disk_set_options(
      escritor, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_XATTR |
                    ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                    ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);
  int resultado = 0;
  for (;;) {
    archive_entry* entrada = nullptr;
    int r = archive_read_next_header(lector, &entrada);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      resultado = fallar(zip, archive_error_string(lector) ? archive_error_string(lector) : "");
      break;
    }
    const char* nombre = archive_entry_pathname(entrada);
    const char* enlaceDuro = archive_entry_hardlink(entrada);
    if (!rutaSegura(nombre) || (enlaceDuro && !rutaSegura(enlaceDuro))) {
      resultado = fallar(zip, std::string("entry outside the folder: ") + (nombre ? nombre : ""));
      break;
    }
    // The Finder's AppleDouble companions: ditto folds them into the files' metadata and
    // never extracts them as files; here their metadata is left out.
    if (std::string_view(nombre) == "__MACOSX" ||
        std::string_view(nombre).starts_with("__MACOSX/")) {
      archive_read_data_skip(lector);
      continue;
    }
    // Only files, folders and links belong in an application archive.
    const mode_t tipo = archive_entry_filetype(entrada);
    if (!enlaceDuro && tipo != AE_IFREG && tipo != AE_IFDIR && tipo != AE_IFLNK) {
      resultado = fallar(zip, std::string("unsupported entry: ") + nombre);
      break;
    }
    if (archive_write_header(escritor, entrada) < ARCHIVE_WARN) {
      resultado =
          fallar(nombre, archive_error_string(escritor) ? archive_error_string(escritor) : "");
      break;
    }
    const void* bloque = nullptr;
    size_t tamano = 0;
    la_int64_t desplazamiento = 0;
    while ((r = archive_read_data_block(lector, &bloque, &tamano, &desplazamiento)) == ARCHIVE_OK) {
      if (archive_write_data_block(escritor, bloque, tamano, desplazamiento) < ARCHIVE_WARN) {
        r = ARCHIVE_FATAL;
        break;
      }
    }
    if (r != ARCHIVE_EOF) {
      const char* porque = archive_error_string(lector) ? archive_error_string(lector)
                                                        : archive_error_string(escritor);
      resultado = fallar(nombre, porque ? porque : "damaged entry");
      break;
    }
    if (archive_write_finish_entry(escritor) < ARCHIVE_WARN) {
      resultado =
          fallar(nombre, archive_error_string(escritor) ? archive_error_string(escritor) : "");
      break;
    }
  }
  // Folder modes are set last, so a read-only folder could still be filled.
  if (archive_write_close(escritor) != ARCHIVE_OK && resultado == 0)
    resultado =
        fallar(carpeta, archive_error_string(escritor) ? archive_error_string(escritor) : "");
  archive_write_free(escritor);
  archive_read_free(lector);
  return resultado;
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
