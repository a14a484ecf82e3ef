#include "RecursosSellados.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

namespace ovelmar {

namespace {

constexpr std::size_t kTrozo = 1 << 20;
constexpr int kHilos = 2;

enum class Clase { archivo, carpeta, enlace, otra };

const char* nombreDe(Clase c) {
  switch (c) {
    case Clase::archivo:
      return "file";
    case Clase::carpeta:
      return "folder";
    case Clase::enlace:
      return "symbolic link";
    case Clase::otra:
      break;
  }
  return "special file";
}

Clase claseDe(mode_t modo) {
  return S_ISREG(modo)   ? Clase::archivo
         : S_ISDIR(modo) ? Clase::carpeta
         : S_ISLNK(modo) ? Clase::enlace
                         : Clase::otra;
}

Clase claseDe(int carpeta, const dirent& e) {
  switch (e.d_type) {
    case DT_REG:
      return Clase::archivo;
    case DT_DIR:
      return Clase::carpeta;
    case DT_LNK:
      return Clase::enlace;
    case DT_UNKNOWN:
      break;
    default:
      return Clase::otra;
  }
  struct stat st {};
  if (fstatat(carpeta, e.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Clase::otra;
  return claseDe(st.st_mode);
}

// The problem with the smallest path, so that the answer does not depend on which thread
// got there first; only that one is kept, however many there are.
struct Diferencias {
  std::optional<std::pair<std::string, std::string>> primera;
  void anotar(const std::string& ruta, const std::string& que) {
    if (!primera || ruta < primera->first) primera.emplace(ruta, mostrable(ruta) + " " + que);
  }
  void unir(const Diferencias& otras) {
    if (otras.primera && (!primera || otras.primera->first < primera->first))
      primera = otras.primera;
  }
};

using Sellado = std::pair<const std::string, ArchivoSellado>;

struct Recorrido {
  const Manifiesto& m;
  bool estricto;
  std::vector<const Sellado*> archivos;  // to hash
  std::unordered_set<std::string> vistos;
  Diferencias dif;

  std::optional<Clase> sellada(const std::string& ruta) const {
    if (m.archivos.count(ruta)) return Clase::archivo;
    if (m.carpetas.count(ruta) || m.anidados.count(ruta)) return Clase::carpeta;
    if (m.enlaces.count(ruta)) return Clase::enlace;
    return std::nullopt;
  }

  // The signature's own folder: only the files the format names.
  void firma(int padre, const char* nombre) {
    int fd = openat(padre, nombre, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* d = fd < 0 ? nullptr : fdopendir(fd);
    if (!d) {
      if (fd >= 0) close(fd);
      dif.anotar(std::string(sello::kCarpeta), "cannot be read");
      return;
    }
    while (dirent* e = readdir(d)) {
      std::string_view n = e->d_name;
      if (n == "." || n == "..") continue;
      if ((n != sello::kRecursos && n != sello::kFirma && n != sello::kTicket) ||
          claseDe(dirfd(d), *e) != Clase::archivo)
        dif.anotar(std::string(sello::kCarpeta) + "/" + e->d_name, "is not part of a signature");
    }
    closedir(d);
  }

  // Consumes the descriptor.
  void carpeta(int fd, const std::string& prefijo) {
    DIR* d = fdopendir(fd);
    if (!d) {
      close(fd);
      dif.anotar(prefijo, "cannot be read");
      return;
    }
    for (;;) {
      errno = 0;
      dirent* e = readdir(d);
      if (!e) break;
      std::string_view nombre = e->d_name;
      if (nombre == "." || nombre == "..") continue;
      std::string ruta = prefijo.empty() ? std::string(nombre) : prefijo + "/" + e->d_name;
      Clase clase = claseDe(dirfd(d), *e);
      if (ruta == sello::kCarpeta) {
        if (clase != Clase::carpeta)
          dif.anotar(ruta, "is not a folder");
        else if (estricto)
          firma(dirfd(d), e->d_name);
        continue;
      }
      std::optional<Clase> debida = sellada(ruta);
      if (!debida) {
        if (estricto) dif.anotar(ruta, "was added");
        continue;
      }
      vistos.insert(ruta);
      if (clase != *debida) {
        dif.anotar(ruta,
                   std::string("is a ") + nombreDe(clase) + ", sealed as a " + nombreDe(*debida));
        continue;
      }
      if (clase == Clase::archivo) {
        archivos.push_back(&*m.archivos.find(ruta));
      } else if (clase == Clase::enlace) {
        char destino[sello::kRutaMaxima + 1];
        ssize_t n = readlinkat(dirfd(d), e->d_name, destino, sizeof destino);
        const std::string& debido = m.enlaces.find(ruta)->second;
        if (n < 0 || std::string_view(destino, n) != debido)
          dif.anotar(ruta, "points elsewhere than sealed (\"" + mostrable(debido) + "\")");
      } else if (!m.anidados.count(ruta)) {
        int sub = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0)
          dif.anotar(ruta, "cannot be opened");
        else
          carpeta(sub, ruta);
      }
    }
    if (errno != 0) dif.anotar(prefijo, "cannot be read to the end");
    closedir(d);
  }

  void faltantes() {
    auto buscar = [&](const std::string& r) {
      if (!vistos.count(r)) dif.anotar(r, "is missing");
    };
    for (const auto& [r, _] : m.archivos) buscar(r);
    for (const auto& [r, _] : m.enlaces) buscar(r);
    for (const auto& [r, _] : m.anidados) buscar(r);
    for (const auto& r : m.carpetas) buscar(r);
  }
};

// One thread's share of the files: whichever comes next.
void hashear(int raiz, const std::vector<const Sellado*>& archivos, std::atomic<std::size_t>& cola,
             const EVP_MD* sha256, Diferencias& dif) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::vector<std::uint8_t> trozo(kTrozo);
  for (std::size_t i; (i = cola.fetch_add(1)) < archivos.size();) {
    const auto& [ruta, sellado] = *archivos[i];
    // Non-blocking, so that a pipe swapped in after the walk cannot stall the thread.
    int fd = abrirDebajo(raiz, ruta, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      dif.anotar(ruta, "cannot be opened");
      continue;
    }
    struct stat st {};
    bool bien = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!bien) {
      dif.anotar(ruta, "is not a plain file");
    } else if ((st.st_mode & 07777) != sellado.modo) {
      char que[64];
      std::snprintf(que, sizeof que, "has mode %04o, sealed %04o", st.st_mode & 07777u,
                    sellado.modo);
      dif.anotar(ruta, que);
    } else {
      bien = ctx && EVP_DigestInit_ex(ctx.get(), sha256, nullptr) == 1;
      for (ssize_t n; bien;) {
        n = read(fd, trozo.data(), trozo.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          bien = n == 0;
          break;
        }
        bien = EVP_DigestUpdate(ctx.get(), trozo.data(), static_cast<std::size_t>(n)) == 1;
      }
      Sha256 resumen{};
      unsigned int largo = 0;
      if (!bien || EVP_DigestFinal_ex(ctx.get(), resumen.data(), &largo) != 1)
        dif.anotar(ruta, "cannot be read");
      else if (resumen != sellado.sha256)
        dif.anotar(ruta, "was modified");
    }
    close(fd);
  }
}

}  // namespace

Descriptor::~Descriptor() {
  if (fd_ >= 0) close(fd_);
}

int abrirDebajo(int raiz, const std::string& ruta, int banderas) {
  open_how como{};
  como.flags = static_cast<std::uint64_t>(banderas | O_NOFOLLOW | O_CLOEXEC);
  como.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  static std::atomic<bool> sinOpenat2{false};
  if (!sinOpenat2.load(std::memory_order_relaxed)) {
    long fd = syscall(SYS_openat2, raiz, ruta.c_str(), &como, sizeof como);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    sinOpenat2 = true;
  }
  // Older kernels: one plain name at a time, none of them followed.
  int actual = dup(raiz);
  std::size_t inicio = 0;
  while (actual >= 0) {
    std::size_t fin = ruta.find('/', inicio);
    std::string parte = ruta.substr(inicio, fin == std::string::npos ? fin : fin - inicio);
    if (parte.empty() || parte == "." || parte == "..") {
      close(actual);
      errno = EINVAL;
      return -1;
    }
    int siguiente =
        fin == std::string::npos
            ? openat(actual, parte.c_str(), static_cast<int>(como.flags))
            : openat(actual, parte.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int guardado = errno;
    close(actual);
    errno = guardado;
    if (fin == std::string::npos) return siguiente;
    actual = siguiente;
    inicio = fin + 1;
  }
  return -1;
}

std::optional<std::string> compararConElSello(int raiz, const Manifiesto& m, bool estricto) {
  Recorrido r{m, estricto, {}, {}, {}};
  int fd = dup(raiz);
  if (fd < 0) return std::string("the bundle folder cannot be read");
  r.carpeta(fd, "");
  r.faltantes();

  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> sha256(EVP_MD_fetch(nullptr, "SHA256", nullptr),
                                                         EVP_MD_free);
  if (!sha256) return std::string("SHA-256 is not available");
  std::atomic<std::size_t> cola{0};
  std::vector<Diferencias> porHilo(kHilos);
  std::vector<std::thread> hilos;
  try {
    for (int i = 1; i < kHilos; ++i)
      hilos.emplace_back(hashear, raiz, std::cref(r.archivos), std::ref(cola), sha256.get(),
                         std::ref(porHilo[i]));
  } catch (const std::system_error&) {
    // No second thread: this one does all the work.
  }
  hashear(raiz, r.archivos, cola, sha256.get(), porHilo[0]);
  for (std::thread& h : hilos) h.join();

  for (const Diferencias& d : porHilo) r.dif.unir(d);
  if (!r.dif.primera) return std::nullopt;
  return r.dif.primera->second;
}

}  // namespace ovelmar
