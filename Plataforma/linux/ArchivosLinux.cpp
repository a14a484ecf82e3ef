#include "ArchivosLinux.hpp"

#include <sys/ioctl.h>

#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "RecursosSellados.hpp"

namespace ovelmar {

namespace fs = std::filesystem;

Error errorPosix(int numero) {
  return Error{Error::dominioPosix, numero, std::strerror(numero)};
}

namespace {

Error errorDe(const std::error_code& e) {
  return e.category() == std::generic_category() || e.category() == std::system_category()
             ? errorPosix(e.value())
             : Error{Error::dominioPosix, e.value(), e.message()};
}

}  // namespace

void copiarAtributos(const std::string& de, const std::string& a) {
  ssize_t largo = llistxattr(de.c_str(), nullptr, 0);
  if (largo <= 0) return;
  std::string nombres(static_cast<std::size_t>(largo), '\0');
  largo = llistxattr(de.c_str(), nombres.data(), nombres.size());
  if (largo <= 0) return;
  nombres.resize(static_cast<std::size_t>(largo));
  for (std::size_t i = 0; i < nombres.size();) {
    const char* nombre = nombres.c_str() + i;
    i += std::strlen(nombre) + 1;
    ssize_t n = lgetxattr(de.c_str(), nombre, nullptr, 0);
    if (n < 0) continue;
    std::string valor(static_cast<std::size_t>(n), '\0');
    n = lgetxattr(de.c_str(), nombre, valor.data(), valor.size());
    if (n < 0) continue;
    // Attributes this file system or user may not set (security.*, trusted.*) are skipped.
    lsetxattr(a.c_str(), nombre, valor.data(), static_cast<std::size_t>(n), 0);
  }
}

namespace {

Resultado copiarArbol(const fs::path& de, const fs::path& a) {
  struct stat st {};
  if (lstat(de.c_str(), &st) != 0) return errorPosix(errno);
  if (S_ISLNK(st.st_mode)) {
    std::error_code e;
    fs::path destinoDelEnlace = fs::read_symlink(de, e);
    if (e) return errorDe(e);
    if (symlink(destinoDelEnlace.c_str(), a.c_str()) != 0) return errorPosix(errno);
    copiarAtributos(de, a);
    return std::nullopt;
  }
  if (S_ISDIR(st.st_mode)) {
    if (mkdir(a.c_str(), 0700) != 0) return errorPosix(errno);
    std::error_code e;
    for (fs::directory_iterator it(de, e), fin; !e && it != fin; it.increment(e)) {
      if (Resultado r = copiarArbol(it->path(), a / it->path().filename())) return r;
    }
    if (e) return errorDe(e);
  } else if (S_ISREG(st.st_mode)) {
    std::error_code e;
    if (!fs::copy_file(de, a, fs::copy_options::none, e)) return errorDe(e);
  } else {
    return errorPosix(ENOTSUP);  // devices, sockets and pipes have no place in a bundle
  }
  copiarAtributos(de.string(), a.string());
  if (chmod(a.c_str(), st.st_mode & 07777) != 0) return errorPosix(errno);
  return std::nullopt;
}

}  // namespace

bool ArchivosLinux::existe(const std::string& ruta) {
  struct stat st {};
  return stat(ruta.c_str(), &st) == 0;
}

bool ArchivosLinux::escribible(const std::string& ruta) {
  return access(ruta.c_str(), W_OK) == 0;
}

std::optional<std::uint32_t> ArchivosLinux::dueno(const std::string& ruta) {
  struct stat st {};
  if (lstat(ruta.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint32_t>(st.st_uid);
}

std::optional<bool> ArchivosLinux::soloLectura(const std::string& ruta) {
  struct statvfs sv {};
  if (statvfs(ruta.c_str(), &sv) != 0) return std::nullopt;
  return (sv.f_flag & ST_RDONLY) != 0;
}

std::string ArchivosLinux::resolverEnlaces(const std::string& ruta) {
  if (ruta.empty()) return ruta;
  std::error_code e;
  fs::path r = fs::weakly_canonical(fs::path(ruta), e);
  if (e) return fs::path(ruta).lexically_normal().string();
  std::string s = r.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

Resultado ArchivosLinux::crearCarpetas(const std::string& ruta) {
  std::error_code e;
  if (fs::is_directory(ruta, e)) return errorPosix(EEXIST);
  fs::create_directories(ruta, e);
  if (e) return errorDe(e);
  return std::nullopt;
}

std::optional<std::vector<std::string>> ArchivosLinux::listar(const std::string& ruta) {
  std::error_code e;
  std::vector<std::string> nombres;
  for (fs::directory_iterator it(ruta, e), fin; !e && it != fin; it.increment(e))
    nombres.push_back(it->path().filename().string());
  if (e) return std::nullopt;
  return nombres;
}

Resultado ArchivosLinux::eliminar(const std::string& ruta) {
  std::error_code e;
  auto n = fs::remove_all(ruta, e);
  if (e) return errorDe(e);
  if (n == 0) return errorPosix(ENOENT);
  return std::nullopt;
}

int ArchivosLinux::renombrar(const std::string& de, const std::string& a, unsigned int banderas) {
  return renameat2(AT_FDCWD, de.c_str(), AT_FDCWD, a.c_str(), banderas) == 0 ? 0 : errno;
}

namespace {

// A file system without renameat2's flags answers EINVAL (or, on old kernels, ENOSYS).
bool sinBanderas(int numero) {
  return numero == EINVAL || numero == ENOSYS;
}

}  // namespace

int ArchivosLinux::moverSinReemplazar(const std::string& de, const std::string& a) {
  struct stat st {};
  if (lstat(de.c_str(), &st) != 0) return errno;
  const bool carpeta = S_ISDIR(st.st_mode);
  if (!carpeta) {
    // A second name for the file appears only where there was none.
    if (link(de.c_str(), a.c_str()) == 0) {
      unlink(de.c_str());
      return 0;
    }
    if (errno == EEXIST || errno == EXDEV || errno == ENOENT) return errno;
  }
  // No hard links here, or a folder: take the name with an item of our own that only
  // such a rename may replace. A folder replaces only an empty one, so whatever someone
  // put into ours in the meantime makes the rename fail rather than vanish.
  if (carpeta) {
    if (mkdir(a.c_str(), 0700) != 0) return errno;
  } else {
    int fd = open(a.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno;
    close(fd);
  }
  int numero = renombrar(de, a, 0);
  if (numero != 0) carpeta ? rmdir(a.c_str()) : unlink(a.c_str());
  return numero;
}

Resultado ArchivosLinux::mover(const std::string& de, const std::string& a) {
  // Like the file manager: never onto an existing item, and across volumes by copying.
  int numero = renombrar(de, a, RENAME_NOREPLACE);
  if (sinBanderas(numero)) numero = moverSinReemplazar(de, a);
  if (numero == 0) return std::nullopt;
  if (numero != EXDEV) return errorPosix(numero);
  if (Resultado r = copiar(de, a)) return r;
  std::error_code e;
  fs::remove_all(de, e);
  return std::nullopt;
}

Resultado ArchivosLinux::copiar(const std::string& de, const std::string& a) {
  struct stat st {};
  if (lstat(a.c_str(), &st) == 0) return errorPosix(EEXIST);
  Resultado r = copiarArbol(de, a);
  if (r) {
    std::error_code e;
    fs::remove_all(a, e);
  }
  return r;
}

Resultado ArchivosLinux::reemplazar(const std::string& destino, const std::string& nueva) {
  // One atomic exchange: at no moment is there nothing at `destino`.
  int numero = renombrar(nueva, destino, RENAME_EXCHANGE);
  if (sinBanderas(numero)) return reemplazarSinIntercambio(destino, nueva);
  if (numero != 0) return errorPosix(numero);
  std::error_code e;
  fs::remove_all(nueva, e);  // now the old item
  return std::nullopt;
}

Resultado ArchivosLinux::reemplazarSinIntercambio(const std::string& destino,
                                                  const std::string& nueva) {
  // Only `destino` and `nueva` are touched: a name of its own for the old item, so that
  // nothing else beside them is replaced.
  std::string aparte;
  int numero = EEXIST;
  for (int intento = 0; intento < 100 && numero == EEXIST; ++intento) {
    aparte = destino + ".aparte-" + std::to_string(getpid()) + "-" + std::to_string(intento);
    numero = moverSinReemplazar(destino, aparte);
  }
  if (numero != 0) return errorPosix(numero);
  numero = renombrar(nueva, destino, 0);
  if (numero != 0) {
    renombrar(aparte, destino, 0);
    return errorPosix(numero);
  }
  std::error_code e;
  fs::remove_all(aparte, e);
  return std::nullopt;
}

Resultado ArchivosLinux::papelera(const std::string& ruta) {
  GFile* archivo = g_file_new_for_path(ruta.c_str());
  GError* error = nullptr;
  gboolean bien = g_file_trash(archivo, nullptr, &error);
  g_object_unref(archivo);
  if (bien) return std::nullopt;
  Error e{"GIOErrorDomain", error ? error->code : 0, error ? error->message : ""};
  if (error) g_error_free(error);
  return e;
}

std::optional<std::int64_t> ArchivosLinux::tamano(const std::string& ruta) {
  struct stat st {};
  if (stat(ruta.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::int64_t>(st.st_size);
}

std::optional<std::vector<std::uint8_t>> ArchivosLinux::leer(const std::string& ruta) {
  std::ifstream f(ruta, std::ios::binary);
  if (!f) return std::nullopt;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                  std::istreambuf_iterator<char>());
  if (f.bad()) return std::nullopt;
  return bytes;
}

namespace {

class LectorLinux : public LectorDeArchivo {
 public:
  explicit LectorLinux(int fd) : fd_(fd) {}
  ~LectorLinux() override { close(fd_); }
  LectorLinux(const LectorLinux&) = delete;
  LectorLinux& operator=(const LectorLinux&) = delete;

  std::optional<std::size_t> leer(std::uint8_t* destino, std::size_t capacidad) override {
    for (;;) {
      ssize_t n = read(fd_, destino, capacidad);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return std::nullopt;
    }
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<LectorDeArchivo> ArchivosLinux::abrirParaLeer(const std::string& ruta) {
  int fd = open(ruta.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Read once from start to end: let the kernel read ahead generously.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<LectorLinux>(fd);
}

Resultado ArchivosLinux::escribirAtomico(const std::string& ruta,
                                         const std::vector<std::uint8_t>& bytes) {
  std::string temporal = ruta + ".XXXXXX";
  int fd = mkstemp(temporal.data());
  if (fd < 0) return errorPosix(errno);
  std::size_t hecho = 0;
  while (hecho < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + hecho, bytes.size() - hecho);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int numero = errno;
      close(fd);
      unlink(temporal.c_str());
      return errorPosix(numero);
    }
    hecho += static_cast<std::size_t>(n);
  }
  int numero = fsync(fd) == 0 ? 0 : errno;
  if (close(fd) != 0 && numero == 0) numero = errno;
  if (numero != 0) {
    unlink(temporal.c_str());
    return errorPosix(numero);
  }
  if (rename(temporal.c_str(), ruta.c_str()) != 0) {
    numero = errno;
    unlink(temporal.c_str());
    return errorPosix(numero);
  }
  return std::nullopt;
}

namespace {

// Splits "a/b/c" into the folder part "a/b" and the name "c"; false for an empty name.
bool partir(const std::string& relativa, std::string& carpeta, std::string& nombre) {
  const std::size_t barra = relativa.rfind('/');
  carpeta = barra == std::string::npos ? "" : relativa.substr(0, barra);
  nombre = barra == std::string::npos ? relativa : relativa.substr(barra + 1);
  return !nombre.empty() && nombre != "." && nombre != "..";
}

// The folder `carpeta` below the folder `raiz`, made where missing, each part opened
// without following a link: its descriptor, or -1 with errno.
int carpetaDebajo(const std::string& raiz, const std::string& carpeta) {
  int actual = open(raiz.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (std::size_t inicio = 0; actual >= 0 && inicio < carpeta.size();) {
    std::size_t fin = carpeta.find('/', inicio);
    if (fin == std::string::npos) fin = carpeta.size();
    const std::string parte = carpeta.substr(inicio, fin - inicio);
    int siguiente = -1;
    if (parte.empty() || parte == "." || parte == "..")
      errno = EINVAL;
    else if (mkdirat(actual, parte.c_str(), 0755) == 0 || errno == EEXIST)
      siguiente = openat(actual, parte.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int guardado = errno;
    close(actual);
    errno = guardado;
    actual = siguiente;
    inicio = fin + 1;
  }
  return actual;
}

// Whether something, of any kind, stands at `nombre` in the folder `carpeta`.
bool hay(int carpeta, const std::string& nombre) {
  struct stat st {};
  return fstatat(carpeta, nombre.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// All of `de` into `a`: a clone where the file system shares blocks, else a copy in the
// kernel, else read and write.
bool copiarContenido(int de, int a) {
  if (ioctl(a, FICLONE, de) == 0) return true;
  for (;;) {
    const ssize_t n = copy_file_range(de, nullptr, a, nullptr, 1 << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;
  }
  std::vector<char> trozo(1 << 20);
  for (;;) {
    const ssize_t n = read(de, trozo.data(), trozo.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    for (ssize_t hecho = 0; hecho < n;) {
      const ssize_t w = write(a, trozo.data() + hecho, static_cast<std::size_t>(n - hecho));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return false;
      hecho += w;
    }
  }
}

}  // namespace

Resultado ArchivosLinux::completarDesde(const std::string& origen, const std::string& destino,
                                        const std::string& relativa, std::uint32_t modo) {
  std::string carpeta, nombre;
  if (!partir(relativa, carpeta, nombre)) return errorPosix(EINVAL);
  Descriptor donde(carpetaDebajo(destino, carpeta));
  if (donde.get() < 0) return errorPosix(errno == ELOOP || errno == ENOTDIR ? ENOENT : errno);
  if (hay(donde.get(), nombre)) return std::nullopt;

  Descriptor raiz(open(origen.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (raiz.get() < 0) return errorPosix(errno);
  Descriptor de(abrirDebajo(raiz.get(), relativa, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  struct stat st {};
  // A link on the way, or not a plain file: as if it were not there.
  if (de.get() < 0 || fstat(de.get(), &st) != 0 || !S_ISREG(st.st_mode)) return errorPosix(ENOENT);

  Descriptor a(openat(donde.get(), nombre.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (a.get() < 0) return errorPosix(errno);
  if (!copiarContenido(de.get(), a.get()) || fchmod(a.get(), modo & 07777) != 0) {
    const int guardado = errno ? errno : EIO;
    unlinkat(donde.get(), nombre.c_str(), 0);
    return errorPosix(guardado);
  }
  return std::nullopt;
}

Resultado ArchivosLinux::completarEnlace(const std::string& destino, const std::string& relativa,
                                         const std::string& objetivo) {
  std::string carpeta, nombre;
  if (!partir(relativa, carpeta, nombre)) return errorPosix(EINVAL);
  Descriptor donde(carpetaDebajo(destino, carpeta));
  if (donde.get() < 0) return errorPosix(errno == ELOOP || errno == ENOTDIR ? ENOENT : errno);
  if (hay(donde.get(), nombre)) return std::nullopt;
  if (symlinkat(objetivo.c_str(), donde.get(), nombre.c_str()) != 0) return errorPosix(errno);
  return std::nullopt;
}

}  // namespace ovelmar
