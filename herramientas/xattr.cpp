// xattr: the subset of the macOS tool that the component runs,
//   xattr -d [-r] <attribute> <path>...
// removes a macOS extended attribute (kept in the user namespace here: "user.<name>"),
// with -r from everything below each path too. An attribute that is not there is not an
// error. A symbolic link is never followed: its own attribute is removed, and a linked
// folder is not entered, so a crafted bundle cannot make this touch files outside it.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string atributo;  // the Linux name of the attribute
bool fallo = false;

void avisar(const std::string& ruta, int numero) {
  std::fprintf(stderr, "xattr: %s: %s\n", ruta.c_str(), std::strerror(numero));
  fallo = true;
}

// Whether a failed removal only means that the attribute is not there.
bool ausente(int numero, mode_t modo) {
  // ENODATA: not set. ENOTSUP: this file system keeps no such attributes. EPERM on a link
  // or special file: Linux allows no user attributes there, so none can be set.
  return numero == ENODATA || numero == ENOTSUP ||
         (numero == EPERM && !S_ISREG(modo) && !S_ISDIR(modo));
}

// The entry `nombre` of the folder open as `carpeta`, as a path the kernel resolves
// through that descriptor: the entry itself is not followed, nor can a renamed parent
// send the removal elsewhere.
std::string rutaEn(int carpeta, const char* nombre) {
  return "/proc/self/fd/" + std::to_string(carpeta) + "/" + nombre;
}

void quitar(const std::string& rutaReal, const std::string& mostrada, mode_t modo) {
  if (lremovexattr(rutaReal.c_str(), atributo.c_str()) != 0 && !ausente(errno, modo))
    avisar(mostrada, errno);
}

// Everything inside the folder open as `carpeta` (the descriptor is consumed).
void recorrer(int carpeta, const std::string& mostrada) {
  DIR* d = fdopendir(carpeta);
  if (!d) {
    avisar(mostrada, errno);
    close(carpeta);
    return;
  }
  errno = 0;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    const std::string hija = mostrada + "/" + e->d_name;
    struct stat st {};
    if (fstatat(carpeta, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      avisar(hija, errno);
      continue;
    }
    quitar(rutaEn(carpeta, e->d_name), hija, st.st_mode);
    if (S_ISDIR(st.st_mode)) {
      int sub = openat(carpeta, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0)
        avisar(hija, errno);
      else
        recorrer(sub, hija);
    }
    errno = 0;
  }
  if (errno != 0) avisar(mostrada, errno);
  closedir(d);
}

void procesar(const std::string& ruta, bool recursivo) {
  struct stat st {};
  if (lstat(ruta.c_str(), &st) != 0) {
    avisar(ruta, errno);
    return;
  }
  quitar(ruta, ruta, st.st_mode);
  if (!recursivo || !S_ISDIR(st.st_mode)) return;
  int carpeta = open(ruta.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (carpeta < 0) {
    avisar(ruta, errno);
    return;
  }
  recorrer(carpeta, ruta);
}

int uso() {
  std::fprintf(stderr, "usage: xattr -d [-r] attr_name file [file ...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool borrar = false, recursivo = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    if (std::strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    }
    for (const char* o = argv[i] + 1; *o; ++o) {
      if (*o == 'd')
        borrar = true;
      else if (*o == 'r')
        recursivo = true;
      else if (*o == 's')
        ;  // links are never followed anyway
      else
        return uso();
    }
  }
  if (!borrar || argc - i < 2 || argv[i][0] == '\0') return uso();
  atributo = std::string("user.") + argv[i++];
  for (; i < argc; ++i) procesar(argv[i], recursivo);
  return fallo ? 1 : 0;
}
