#include "herramientas/desempaquetado/Desempaquetador.hpp"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ovelmar {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kRutaMaxima = 4096;           // the longest path the kernel takes
constexpr int kSaltosMaximos = 40;                  // links followed for one, as the kernel does
constexpr std::uint64_t kPasosDeEnlaces = 1 << 22;  // path steps for all links together
constexpr std::uint64_t kEnUnaPieza = 8 << 20;      // contents up to this are inflated at once
constexpr std::size_t kTrozo = 1 << 20;

// Thrown inside with the reason; desempaquetar answers it.
struct Rechazo {
  std::string porque;
};
[[noreturn]] void rechazar(std::string porque) {
  throw Rechazo{std::move(porque)};
}

// Names come from the archive: no control characters reach a terminal.
std::string mostrar(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return r;
}
[[noreturn]] void rechazarPorErrno(std::string_view ruta) {
  rechazar(mostrar(ruta) + ": " + std::strerror(errno));
}
[[noreturn]] void danado() {
  rechazar("damaged archive");
}

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  int get() const { return fd_; }
  int soltar() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::uint64_t le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// The archive, mapped read-only; every read is checked against its length.
class Archivo {
 public:
  explicit Archivo(const std::string& ruta) {
    Descriptor fd(open(ruta.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) rechazarPorErrno(ruta);
    if (!S_ISREG(st.st_mode) || st.st_size < 22) rechazar(mostrar(ruta) + ": not a zip archive");
    largo_ = static_cast<std::uint64_t>(st.st_size);
    void* p = mmap(nullptr, largo_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (p == MAP_FAILED) rechazarPorErrno(ruta);
    datos_ = static_cast<const std::uint8_t*>(p);
  }
  ~Archivo() { munmap(const_cast<std::uint8_t*>(datos_), largo_); }
  Archivo(const Archivo&) = delete;
  Archivo& operator=(const Archivo&) = delete;

  std::uint64_t largo() const { return largo_; }
  const std::uint8_t* en(std::uint64_t desde, std::uint64_t n) const {
    if (desde > largo_ || n > largo_ - desde) danado();
    return datos_ + desde;
  }
  std::uint64_t entero(std::uint64_t desde, int bytes) const { return le(en(desde, bytes), bytes); }

 private:
  const std::uint8_t* datos_ = nullptr;
  std::uint64_t largo_ = 0;
};

enum class Tipo : std::uint8_t { carpeta, archivo, enlace };

struct Entrada {
  std::string ruta;  // components joined by '/', without empty or "." ones
  Tipo tipo = Tipo::archivo;
  mode_t modo = 0644;  // permission bits only: set-id and sticky bits never come through
  std::uint16_t metodo = 0;
  std::uint32_t crc = 0;
  std::uint64_t comprimido = 0, tamano = 0, datos = 0;
  std::int64_t hora = 0;
  std::string destino;  // of a link
};

// ---- the central directory --------------------------------------------------------------

struct Directorio {
  std::uint64_t entradas, desde, largo;
  std::uint64_t limite;  // where the entries' data must end
};

Directorio buscarDirectorio(const Archivo& a) {
  const std::uint64_t n = a.largo();
  std::uint64_t fin = n;
  const std::uint64_t hasta = n > 22 + 65535 ? n - 22 - 65535 : 0;
  for (std::uint64_t i = n - 22 + 1; i-- > hasta;)
    if (a.entero(i, 4) == 0x06054b50 && i + 22 + a.entero(i + 20, 2) == n) {
      fin = i;
      break;
    }
  if (fin == n) rechazar("not a zip archive");
  Directorio d{a.entero(fin + 10, 2), a.entero(fin + 16, 4), a.entero(fin + 12, 4), fin};
  bool partes = a.entero(fin + 4, 2) != 0 || a.entero(fin + 6, 2) != 0;
  if (fin >= 20 && a.entero(fin - 20, 4) == 0x07064b50) {
    const std::uint64_t z = a.entero(fin - 12, 8);
    if (a.entero(z, 4) != 0x06064b50) danado();
    d = {a.entero(z + 32, 8), a.entero(z + 48, 8), a.entero(z + 40, 8), z};
    partes = a.entero(z + 16, 4) != 0 || a.entero(z + 20, 4) != 0;
  }
  if (partes) rechazar("archives in several parts are not supported");
  return d;
}

std::int64_t horaDos(unsigned fecha, unsigned hora) {
  std::tm t{};
  t.tm_year = 80 + static_cast<int>(fecha >> 9);
  t.tm_mon = static_cast<int>((fecha >> 5) & 15) - 1;
  t.tm_mday = static_cast<int>(fecha & 31);
  t.tm_hour = static_cast<int>(hora >> 11);
  t.tm_min = static_cast<int>((hora >> 5) & 63);
  t.tm_sec = static_cast<int>(hora & 31) * 2;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

// The stored name as a path inside the folder.
std::string rutaDe(std::string_view crudo) {
  if (crudo.empty() || crudo.size() > kRutaMaxima || crudo.find('\0') != crudo.npos)
    rechazar("bad entry name: " + mostrar(crudo));
  if (crudo[0] == '/') rechazar("entry outside the folder: " + mostrar(crudo));
  std::string ruta;
  for (std::size_t i = 0; i <= crudo.size();) {
    const std::size_t barra = std::min(crudo.find('/', i), crudo.size());
    const std::string_view parte = crudo.substr(i, barra - i);
    if (parte == "..") rechazar("entry outside the folder: " + mostrar(crudo));
    if (!parte.empty() && parte != ".") (ruta.empty() ? ruta : ruta += '/') += parte;
    i = barra + 1;
  }
  if (ruta.empty()) rechazar("bad entry name: " + mostrar(crudo));
  return ruta;
}

// One record of the central directory, or nothing for the Finder's "__MACOSX" companions,
// which ditto folds into metadata and never extracts.
std::optional<Entrada> leerEntrada(const Archivo& a, const std::uint8_t* r, const Directorio& d) {
  Entrada e;
  const unsigned sistema = r[5], banderas = le(r + 8, 2);
  const std::uint32_t externos = le(r + 38, 4);
  e.metodo = le(r + 10, 2);
  e.crc = le(r + 16, 4);
  e.comprimido = le(r + 20, 4);
  e.tamano = le(r + 24, 4);
  std::uint64_t local = le(r + 42, 4);
  const std::size_t largoNombre = le(r + 28, 2);
  const std::string_view crudo(reinterpret_cast<const char*>(r + 46), largoNombre);
  bool conHora = false;
  for (const std::uint8_t *x = r + 46 + largoNombre, *fin = x + le(r + 30, 2); fin - x >= 4;) {
    const unsigned id = le(x, 2), n = le(x + 2, 2);
    x += 4;
    if (n > static_cast<std::size_t>(fin - x)) break;
    if (id == 0x0001) {  // the 64-bit values of the fields that did not fit, in this order
      const std::uint8_t* c = x;
      for (std::uint64_t* campo : {&e.tamano, &e.comprimido, &local}) {
        if (*campo != 0xFFFFFFFF) continue;
        if (c + 8 > x + n) danado();
        *campo = le(c, 8);
        c += 8;
      }
    } else if (id == 0x5455 && n >= 5 && (x[0] & 1)) {
      e.hora = static_cast<std::int32_t>(le(x + 1, 4));
      conHora = true;
    }
    x += n;
  }
  e.ruta = rutaDe(crudo);
  if (e.ruta == "__MACOSX" || e.ruta.starts_with("__MACOSX/")) return std::nullopt;
  if (!conHora) e.hora = horaDos(le(r + 14, 2), le(r + 12, 2));

  const std::string nombre = mostrar(crudo);
  const bool unix = sistema == 3 || sistema == 19;
  const mode_t modo = unix ? externos >> 16 : 0;
  switch (modo & S_IFMT) {
    case S_IFLNK:
      e.tipo = Tipo::enlace;
      break;
    case S_IFDIR:
      e.tipo = Tipo::carpeta;
      break;
    case 0:
    case S_IFREG:
      e.tipo = crudo.back() == '/' || (sistema == 0 && (externos & 0x10)) ? Tipo::carpeta
                                                                          : Tipo::archivo;
      break;
    default:
      rechazar("special file: " + nombre);
  }
  e.modo = (modo & 07777) != 0 ? modo & 0777 : e.tipo == Tipo::carpeta ? 0755 : 0644;
  if (!unix && (externos & 1)) e.modo &= 0555;  // read-only
  if (e.tipo == Tipo::carpeta) return e;

  if (banderas & 0x41) rechazar("encrypted entry: " + nombre);
  if (e.metodo != 0 && e.metodo != 8)
    rechazar("compression method " + std::to_string(e.metodo) + " not supported: " + nombre);
  if (e.metodo == 0 && e.comprimido != e.tamano) danado();
  if (e.tipo == Tipo::enlace && (e.tamano == 0 || e.tamano > kRutaMaxima))
    rechazar("bad link: " + nombre);
  const std::uint8_t* l = a.en(local, 30);
  if (le(l, 4) != 0x04034b50) danado();
  e.datos = local + 30 + le(l + 26, 2) + le(l + 28, 2);
  if (e.datos > d.limite || e.comprimido > d.limite - e.datos) danado();
  return e;
}

std::vector<Entrada> leerEntradas(const Archivo& a, const Directorio& d,
                                  const Desempaquetador::Limites& limites,
                                  std::uint64_t& declarado) {
  if (d.entradas > limites.entradas)
    rechazar("more than " + std::to_string(limites.entradas) + " entries");
  if (d.desde > d.limite || d.largo > d.limite - d.desde || d.largo / 46 < d.entradas) danado();
  std::vector<Entrada> entradas;
  entradas.reserve(d.entradas);
  const std::uint64_t fin = d.desde + d.largo;
  for (std::uint64_t i = 0, p = d.desde; i < d.entradas; ++i) {
    if (fin - p < 46) danado();
    const std::uint8_t* r = a.en(p, 46);
    const std::uint64_t largo = 46 + le(r + 28, 2) + le(r + 30, 2) + le(r + 32, 2);
    if (le(r, 4) != 0x02014b50 || largo > fin - p) danado();
    std::optional<Entrada> e = leerEntrada(a, r, d);
    const std::uint64_t tamano = e ? e->tamano : le(r + 24, 4);
    if (tamano > limites.bytes - declarado)
      rechazar("unpacks to more than " + std::to_string(limites.bytes) + " bytes");
    declarado += tamano;
    if (e) entradas.push_back(std::move(*e));
    p += largo;
  }
  return entradas;
}

// ---- the tree the entries describe ------------------------------------------------------

struct Nodo {
  std::uint32_t padre = 0;
  Tipo tipo = Tipo::carpeta;
  bool tieneHijos = false;
  std::int64_t entrada = -1;  // -1: a folder that only the paths below it name
  std::string_view ruta;      // within the entry that made it
};

class Arbol {
 public:
  // Later entries of one path replace earlier ones, as extracting them in turn would.
  explicit Arbol(const std::vector<Entrada>& entradas) {
    nodos.push_back({});
    hijos_.reserve(entradas.size() * 2);
    for (std::size_t i = 0; i < entradas.size(); ++i) {
      const std::string_view ruta = entradas[i].ruta;
      std::uint32_t actual = 0;
      for (std::size_t desde = 0;;) {
        const std::size_t barra = std::min(ruta.find('/', desde), ruta.size());
        const auto [it, nuevo] =
            hijos_.try_emplace(Clave{actual, ruta.substr(desde, barra - desde)},
                               static_cast<std::uint32_t>(nodos.size()));
        if (nuevo) nodos.push_back({actual, Tipo::carpeta, false, -1, ruta.substr(0, barra)});
        nodos[actual].tieneHijos = true;
        Nodo& n = nodos[it->second];
        if (barra == ruta.size()) {
          if (n.tieneHijos && entradas[i].tipo != Tipo::carpeta)
            rechazar("entry through a link or a file: " + mostrar(ruta));
          n.tipo = entradas[i].tipo;
          n.entrada = static_cast<std::int64_t>(i);
          n.ruta = ruta;
          break;
        }
        if (n.tipo != Tipo::carpeta) rechazar("entry through a link or a file: " + mostrar(ruta));
        actual = it->second;
        desde = barra + 1;
      }
    }
  }

  // The node of `nombre` in the folder `padre`; -1 when the archive holds none.
  std::int64_t hijo(std::int64_t padre, std::string_view nombre) const {
    if (padre < 0) return -1;
    auto it = hijos_.find(Clave{static_cast<std::uint32_t>(padre), nombre});
    return it == hijos_.end() ? -1 : static_cast<std::int64_t>(it->second);
  }

  std::vector<Nodo> nodos;  // the folder itself first; a folder always before what it holds

 private:
  struct Clave {
    std::uint32_t padre;
    std::string_view nombre;
    bool operator==(const Clave&) const = default;
  };
  struct Hash {
    std::size_t operator()(const Clave& c) const noexcept {
      return std::hash<std::string_view>()(c.nombre) ^ (c.padre * 0x9e3779b97f4a7c15ull);
    }
  };
  std::unordered_map<Clave, std::uint32_t, Hash> hijos_;
};

// Follows the link from where it stands, through the archive's other links as the file
// system will once everything is in place, and refuses it if it ever climbs out of the
// folder. A path the archive does not hold is followed by its text alone.
void comprobarEnlace(const Arbol& arbol, const std::vector<Entrada>& entradas, std::size_t nodo,
                     std::uint64_t& pasos) {
  const Entrada& enlace = entradas[arbol.nodos[nodo].entrada];
  auto fuera = [&] {
    rechazar("link leads outside the folder: " + mostrar(enlace.ruta) + " -> " +
             mostrar(enlace.destino));
  };
  std::vector<std::int64_t> pila;  // the nodes from the folder down; -1 where none is
  for (std::uint32_t n = arbol.nodos[nodo].padre; n != 0; n = arbol.nodos[n].padre)
    pila.push_back(n);
  std::reverse(pila.begin(), pila.end());
  std::deque<std::string_view> pendientes;
  auto anteponer = [&](std::string_view destino) {
    if (destino.starts_with('/')) fuera();
    std::vector<std::string_view> partes;
    for (std::size_t i = 0; i <= destino.size();) {
      const std::size_t barra = std::min(destino.find('/', i), destino.size());
      partes.push_back(destino.substr(i, barra - i));
      i = barra + 1;
    }
    pendientes.insert(pendientes.begin(), partes.begin(), partes.end());
  };
  anteponer(enlace.destino);
  for (int saltos = 0; !pendientes.empty();) {
    if (pasos++ > kPasosDeEnlaces) rechazar("links too tangled to follow");
    const std::string_view parte = pendientes.front();
    pendientes.pop_front();
    if (parte.empty() || parte == ".") continue;
    if (parte == "..") {
      if (pila.empty()) fuera();
      pila.pop_back();
      continue;
    }
    const std::int64_t h = arbol.hijo(pila.empty() ? 0 : pila.back(), parte);
    if (h > 0 && arbol.nodos[h].tipo == Tipo::enlace) {
      if (++saltos > kSaltosMaximos) rechazar("link loop: " + mostrar(enlace.ruta));
      anteponer(entradas[arbol.nodos[h].entrada].destino);
    } else {
      pila.push_back(h);
    }
  }
}

// ---- contents ---------------------------------------------------------------------------

// Gives an entry's content back piece by piece, refusing it the moment it would grow
// past the size the directory gave it, or when its checksum differs.
class Inflador {
 public:
  Inflador() : d_(libdeflate_alloc_decompressor()) {
    if (!d_) throw std::bad_alloc();
  }
  ~Inflador() { libdeflate_free_decompressor(d_); }
  Inflador(const Inflador&) = delete;
  Inflador& operator=(const Inflador&) = delete;

  template <typename F>
  void inflar(const Archivo& a, const Entrada& e, F&& escribir) {
    const std::uint8_t* de = a.en(e.datos, e.comprimido);
    std::uint32_t crc = 0;
    auto parte = [&](const std::uint8_t* p, std::size_t n) {
      crc = libdeflate_crc32(crc, p, n);
      escribir(p, n);
    };
    if (e.metodo == 0) {
      for (std::uint64_t hecho = 0; hecho < e.tamano; hecho += kTrozo)
        parte(de + hecho, std::min<std::uint64_t>(kTrozo, e.tamano - hecho));
    } else if (e.tamano <= kEnUnaPieza) {
      std::uint8_t* b = buffer(e.tamano);
      std::size_t real = 0;
      if (libdeflate_deflate_decompress(d_, de, e.comprimido, b, e.tamano, &real) !=
              LIBDEFLATE_SUCCESS ||
          real != e.tamano)
        rechazar(mostrar(e.ruta) + ": damaged, or longer than the archive says");
      parte(b, real);
    } else {
      porPartes(de, e, parte);
    }
    if (crc != e.crc) rechazar(mostrar(e.ruta) + ": damaged (checksum)");
  }

 private:
  std::uint8_t* buffer(std::size_t n) {
    if (n > capacidad_ || !buffer_) {
      capacidad_ = std::max(n, kTrozo);
      buffer_.reset(new std::uint8_t[capacidad_]);
    }
    return buffer_.get();
  }

  template <typename F>
  void porPartes(const std::uint8_t* de, const Entrada& e, F& parte) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) throw std::bad_alloc();
    std::unique_ptr<z_stream, int (*)(z_stream*)> fin(&z, inflateEnd);
    std::uint8_t* b = buffer(kTrozo);
    std::uint64_t leido = 0, hecho = 0;
    for (int r = Z_OK; r != Z_STREAM_END;) {
      if (z.avail_in == 0 && leido < e.comprimido) {
        z.next_in = const_cast<Bytef*>(de + leido);
        z.avail_in = static_cast<uInt>(std::min<std::uint64_t>(e.comprimido - leido, 1u << 30));
        leido += z.avail_in;
      }
      z.next_out = b;
      z.avail_out = kTrozo;
      r = inflate(&z, Z_NO_FLUSH);
      if (r != Z_OK && r != Z_STREAM_END) rechazar(mostrar(e.ruta) + ": damaged");
      const std::size_t n = kTrozo - z.avail_out;
      if (n > e.tamano - hecho) rechazar(mostrar(e.ruta) + ": longer than the archive says");
      hecho += n;
      parte(b, n);
    }
    if (hecho != e.tamano) rechazar(mostrar(e.ruta) + ": damaged");
  }

  libdeflate_decompressor* d_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacidad_ = 0;
};

void escribirTodo(int fd, const std::uint8_t* p, std::size_t n, std::string_view ruta) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, std::min<std::size_t>(n, 1u << 30));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) rechazarPorErrno(ruta);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

void comprobarEspacio(const std::string& carpeta, std::uint64_t bytes, std::uint64_t entradas) {
  fs::path p = carpeta.empty() ? "." : carpeta;
  struct statvfs v {};
  while (statvfs(p.c_str(), &v) != 0) {
    if (errno != ENOENT || p == p.parent_path()) rechazarPorErrno(carpeta);
    p = p.has_parent_path() ? p.parent_path() : ".";
  }
  // Every entry takes at least one block besides its bytes.
  const std::uint64_t bloque = std::max<std::uint64_t>(v.f_frsize, 1);
  const std::uint64_t hace = bytes + entradas * bloque, libre = v.f_bavail * bloque;
  if (hace > libre)
    rechazar("needs about " + std::to_string(hace) + " bytes, the volume has " +
             std::to_string(libre) + " free");
  if (v.f_files > 0 && entradas > v.f_favail)
    rechazar("needs " + std::to_string(entradas) + " files, the volume has room for " +
             std::to_string(v.f_favail));
}

// ---- writing ----------------------------------------------------------------------------

std::pair<std::string_view, std::string> partir(std::string_view ruta) {
  const std::size_t barra = ruta.rfind('/');
  if (barra == ruta.npos) return {{}, std::string(ruta)};
  return {ruta.substr(0, barra), std::string(ruta.substr(barra + 1))};
}

// Makes something new at `hoja` with `crear`. Only a folder that was there before the run
// can hold something already: that is replaced, as a later entry replaces an earlier one.
template <typename F>
void crearEn(int carpeta, const std::string& hoja, std::string_view ruta, F&& crear) {
  if (crear() == 0) return;
  if (errno != EEXIST || unlinkat(carpeta, hoja.c_str(), 0) != 0 || crear() != 0)
    rechazarPorErrno(ruta);
}

// The folder an entry goes into, opened one level at a time without following links, so
// nothing is ever written through a link, whoever put it there. The last one is kept.
class Carpetas {
 public:
  explicit Carpetas(int raiz) : raiz_(raiz) {}
  int abrir(std::string_view ruta) {
    if (ruta.empty()) return raiz_;
    if (actual_.get() >= 0 && ruta == ruta_) return actual_.get();
    std::size_t desde = 0;
    if (actual_.get() >= 0 && ruta.starts_with(ruta_) && ruta[ruta_.size()] == '/') {
      desde = ruta_.size() + 1;
    } else {
      actual_ = Descriptor();
    }
    for (; desde <= ruta.size();) {
      const std::size_t barra = std::min(ruta.find('/', desde), ruta.size());
      const std::string nombre(ruta.substr(desde, barra - desde));
      Descriptor siguiente(openat(actual_.get() >= 0 ? actual_.get() : raiz_, nombre.c_str(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (siguiente.get() < 0) {
        ruta_.clear();
        actual_ = Descriptor();
        rechazarPorErrno(ruta);
      }
      actual_ = std::move(siguiente);
      desde = barra + 1;
    }
    ruta_ = ruta;
    return actual_.get();
  }

 private:
  int raiz_;
  Descriptor actual_;
  std::string ruta_;
};

// What one run has put on disk: unless the run completes, it is taken away again.
class Salida {
 public:
  Salida() = default;
  Salida(const Salida&) = delete;
  Salida& operator=(const Salida&) = delete;
  ~Salida() {
    if (!completa_) deshacer();
  }

  // The folder, made with its missing parents when it is not there.
  void crearCarpeta(std::string carpeta) {
    while (carpeta.size() > 1 && carpeta.back() == '/') carpeta.pop_back();
    std::vector<fs::path> faltan;
    for (fs::path p = carpeta;; p = p.parent_path()) {
      struct stat st {};
      if (stat(p.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) break;
        errno = ENOTDIR;
        rechazarPorErrno(p.string());
      }
      if (errno != ENOENT) rechazarPorErrno(p.string());
      faltan.push_back(p);
      if (!p.has_parent_path() || p.parent_path() == p) break;
    }
    for (auto it = faltan.rbegin(); it != faltan.rend(); ++it) {
      if (mkdir(it->c_str(), 0755) == 0)
        niveles_.push_back(*it);
      else if (errno != EEXIST)
        rechazarPorErrno(it->string());
    }
    raiz_ = Descriptor(open(carpeta.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (raiz_.get() < 0) rechazarPorErrno(carpeta);
  }
  int raiz() const { return raiz_.get(); }
  void creado(std::string_view ruta, bool carpeta) { creados_.emplace_back(ruta, carpeta); }
  void completar() { completa_ = true; }

 private:
  void deshacer() {
    if (raiz_.get() >= 0) {
      for (const auto& [ruta, carpeta] : creados_)
        if (carpeta) fchmodat(raiz_.get(), std::string(ruta).c_str(), 0700, 0);
      for (auto it = creados_.rbegin(); it != creados_.rend(); ++it)
        unlinkat(raiz_.get(), std::string(it->first).c_str(), it->second ? AT_REMOVEDIR : 0);
    }
    raiz_ = Descriptor();
    for (auto it = niveles_.rbegin(); it != niveles_.rend(); ++it) rmdir(it->c_str());
  }

  std::vector<fs::path> niveles_;  // of the folder, made here, outermost first
  std::vector<std::pair<std::string_view, bool>> creados_;  // inside it, in order; folder?
  Descriptor raiz_;
  bool completa_ = false;
};

// The files, by `trabajadores` threads that take them in the archive's order.
void escribirArchivos(const Archivo& a, const std::vector<const Entrada*>& archivos, Salida& salida,
                      unsigned trabajadores) {
  std::atomic<std::size_t> siguiente{0};
  std::atomic<bool> parar{false};
  std::mutex cerrojo;
  std::optional<Rechazo> primero;
  std::vector<std::vector<std::string_view>> hechos(trabajadores);
  auto trabajar = [&](unsigned k) {
    try {
      Inflador inflador;
      Carpetas carpetas(salida.raiz());
      while (!parar) {
        const std::size_t i = siguiente++;
        if (i >= archivos.size()) break;
        const Entrada& e = *archivos[i];
        const auto partes = partir(e.ruta);
        const std::string& hoja = partes.second;
        const int dir = carpetas.abrir(partes.first);
        Descriptor fd;
        crearEn(dir, hoja, e.ruta, [&] {
          fd = Descriptor(openat(dir, hoja.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
          return fd.get() < 0 ? -1 : 0;
        });
        hechos[k].push_back(e.ruta);
        inflador.inflar(a, e, [&](const std::uint8_t* p, std::size_t n) {
          escribirTodo(fd.get(), p, n, e.ruta);
        });
        const timespec horas[2] = {{e.hora, 0}, {e.hora, 0}};
        if (fchmod(fd.get(), e.modo) != 0 || futimens(fd.get(), horas) != 0 ||
            ::close(fd.soltar()) != 0)
          rechazarPorErrno(e.ruta);
      }
    } catch (Rechazo& r) {
      std::lock_guard<std::mutex> l(cerrojo);
      if (!primero) primero = std::move(r);
      parar = true;
    } catch (const std::exception& x) {
      std::lock_guard<std::mutex> l(cerrojo);
      if (!primero) primero = Rechazo{x.what()};
      parar = true;
    }
  };
  {
    std::vector<std::jthread> hilos;
    for (unsigned k = 1; k < trabajadores && archivos.size() > k; ++k)
      hilos.emplace_back(trabajar, k);
    trabajar(0);
  }
  for (const auto& h : hechos)
    for (std::string_view ruta : h) salida.creado(ruta, false);
  if (primero) throw *primero;
}

void desempaquetarEn(const std::string& zip, const std::string& carpeta,
                     const Desempaquetador::Limites& limites, unsigned trabajadores) {
  const Archivo archivo(zip);
  std::uint64_t declarado = 0;
  std::vector<Entrada> entradas =
      leerEntradas(archivo, buscarDirectorio(archivo), limites, declarado);
  const Arbol arbol(entradas);
  std::vector<const Entrada*> archivos;
  std::vector<std::size_t> enlaces, carpetas;
  Inflador inflador;
  for (std::size_t i = 1; i < arbol.nodos.size(); ++i) {
    const Nodo& n = arbol.nodos[i];
    if (n.tipo == Tipo::carpeta) carpetas.push_back(i);
    if (n.tipo == Tipo::archivo) archivos.push_back(&entradas[n.entrada]);
    if (n.tipo != Tipo::enlace) continue;
    enlaces.push_back(i);
    Entrada& e = entradas[n.entrada];
    inflador.inflar(archivo, e, [&](const std::uint8_t* p, std::size_t largo) {
      e.destino.append(reinterpret_cast<const char*>(p), largo);
    });
    if (e.destino.find('\0') != e.destino.npos) rechazar("bad link: " + mostrar(e.ruta));
  }
  std::uint64_t pasos = 0;
  for (std::size_t i : enlaces) comprobarEnlace(arbol, entradas, i, pasos);
  comprobarEspacio(carpeta, declarado, arbol.nodos.size());

  Salida salida;
  salida.crearCarpeta(carpeta);
  Carpetas abiertas(salida.raiz());
  auto en = [&](std::size_t i, auto&& hacer) {
    const Nodo& n = arbol.nodos[i];
    const int dir = abiertas.abrir(arbol.nodos[n.padre].ruta);
    const std::string hoja(n.padre == 0 ? n.ruta
                                        : n.ruta.substr(arbol.nodos[n.padre].ruta.size() + 1));
    hacer(n, dir, hoja);
  };
  std::vector<bool> hechas(arbol.nodos.size());
  for (std::size_t i : carpetas)
    en(i, [&](const Nodo& n, int dir, const std::string& hoja) {
      if (mkdirat(dir, hoja.c_str(), 0700) != 0) {
        if (errno != EEXIST) rechazarPorErrno(n.ruta);
        // A folder that was there already is filled as it is.
        struct stat st {};
        if (fstatat(dir, hoja.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
          return;
        crearEn(dir, hoja, n.ruta, [&] { return mkdirat(dir, hoja.c_str(), 0700); });
      }
      salida.creado(n.ruta, true);
      hechas[i] = true;
    });
  std::sort(archivos.begin(), archivos.end(),
            [](const Entrada* x, const Entrada* y) { return x->datos < y->datos; });
  escribirArchivos(archivo, archivos, salida, std::max(trabajadores, 1u));
  // Links last, so that nothing is written through one.
  for (std::size_t i : enlaces)
    en(i, [&](const Nodo& n, int dir, const std::string& hoja) {
      const Entrada& e = entradas[n.entrada];
      crearEn(dir, hoja, n.ruta, [&] { return symlinkat(e.destino.c_str(), dir, hoja.c_str()); });
      salida.creado(n.ruta, false);
    });
  // Folder modes last, so that a read-only folder could still be filled.
  // Folders that only paths below them name get the usual mode, and only when made here.
  for (auto it = carpetas.rbegin(); it != carpetas.rend(); ++it) {
    const Nodo& n = arbol.nodos[*it];
    if (n.entrada < 0 && !hechas[*it]) continue;
    en(*it, [&](const Nodo&, int dir, const std::string& hoja) {
      const Entrada* e = n.entrada < 0 ? nullptr : &entradas[n.entrada];
      const timespec horas[2] = {{e ? e->hora : 0, 0}, {e ? e->hora : 0, 0}};
      if (fchmodat(dir, hoja.c_str(), e ? e->modo : 0755, 0) != 0 ||
          (e && utimensat(dir, hoja.c_str(), horas, AT_SYMLINK_NOFOLLOW) != 0))
        rechazarPorErrno(n.ruta);
    });
  }
  salida.completar();
}

}  // namespace

Desempaquetador::Desempaquetador() : Desempaquetador(Limites{}, 2) {}

Desempaquetador::Desempaquetador(Limites limites, unsigned trabajadores)
    : limites_(limites), trabajadores_(trabajadores) {}

std::optional<std::string> Desempaquetador::desempaquetar(const std::string& zip,
                                                          const std::string& carpeta) const {
  try {
    desempaquetarEn(zip, carpeta, limites_, trabajadores_);
    return std::nullopt;
  } catch (const Rechazo& r) {
    return r.porque;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

}  // namespace ovelmar
