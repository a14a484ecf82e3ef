#include "PropiedadesLinux.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

namespace ovelmar {

namespace {

struct Borrar {
  void operator()(plist_t p) const { plist_free(p); }
};
using Nodo = std::unique_ptr<void, Borrar>;

// Deeper trees than any real property list are refused rather than risking the stack:
// at most this many containers inside one another.
constexpr int kProfundidadMaxima = 256;

// libplist 2.2 keeps every integer as 64 unsigned bits; a value above the signed range
// is either a negative number or a genuinely large unsigned one, which only its own
// text form tells apart.
bool esNegativo(plist_t nodo) {
  char* xml = nullptr;
  std::uint32_t largo = 0;
  plist_to_xml(nodo, &xml, &largo);
  if (!xml) return false;
  std::string_view texto(xml, largo);
  auto inicio = texto.find("<integer>");
  bool negativo =
      inicio != std::string_view::npos && inicio + 9 < texto.size() && texto[inicio + 9] == '-';
  std::free(xml);
  return negativo;
}

std::optional<Valor> convertir(plist_t nodo, int profundidad) {
  if (!nodo || profundidad > kProfundidadMaxima) return std::nullopt;
  switch (plist_get_node_type(nodo)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(nodo, &b);
      return Valor(b != 0);
    }
    case PLIST_UINT: {
      std::uint64_t u = 0;
      plist_get_uint_val(nodo, &u);
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return Valor(static_cast<std::int64_t>(u));
      if (esNegativo(nodo)) return Valor(static_cast<std::int64_t>(u));
      // Beyond the signed range: kept as a real, as a number object would hold it.
      return Valor(static_cast<double>(u));
    }
    case PLIST_REAL: {
      double r = 0;
      plist_get_real_val(nodo, &r);
      return Valor(r);
    }
    case PLIST_STRING: {
      // By length: libplist's copying accessor asserts on a NUL inside the text.
      std::uint64_t largo = 0;
      const char* s = plist_get_string_ptr(nodo, &largo);
      if (!s) return std::nullopt;
      return Valor(std::string(s, largo));
    }
    case PLIST_DATA: {
      char* d = nullptr;
      std::uint64_t largo = 0;
      plist_get_data_val(nodo, &d, &largo);
      Datos datos;
      if (d)
        datos.bytes.assign(reinterpret_cast<std::uint8_t*>(d),
                           reinterpret_cast<std::uint8_t*>(d) + largo);
      std::free(d);
      return Valor(std::move(datos));
    }
    case PLIST_DATE: {
      std::int32_t seg = 0, useg = 0;
      plist_get_date_val(nodo, &seg, &useg);
      // libplist counts from 2001-01-01, as the platform's dates do.
      return Valor(Fecha{978307200.0 + seg + useg / 1e6});
    }
    case PLIST_ARRAY: {
      Lista lista;
      lista.reserve(plist_array_get_size(nodo));
      // By iterator: libplist finds an item by index walking from the first.
      plist_array_iter it = nullptr;
      plist_array_new_iter(nodo, &it);
      if (!it) return std::nullopt;
      bool bien = true;
      for (;;) {
        plist_t hijo = nullptr;
        plist_array_next_item(nodo, it, &hijo);
        if (!hijo) break;
        std::optional<Valor> v = convertir(hijo, profundidad + 1);
        if (!v) {
          bien = false;
          break;
        }
        lista.push_back(std::move(*v));
      }
      std::free(it);
      if (!bien) return std::nullopt;
      return Valor(std::move(lista));
    }
    case PLIST_DICT: {
      Diccionario dic;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(nodo, &it);
      if (!it) return std::nullopt;
      bool bien = true;
      for (;;) {
        char* clave = nullptr;
        plist_t hijo = nullptr;
        plist_dict_next_item(nodo, it, &clave, &hijo);
        if (!hijo) {
          std::free(clave);
          break;
        }
        std::optional<Valor> v = clave ? convertir(hijo, profundidad + 1) : std::nullopt;
        if (!v) {
          std::free(clave);
          bien = false;
          break;
        }
        dic.insert_or_assign(std::string(clave), std::move(*v));
        std::free(clave);
      }
      std::free(it);
      if (!bien) return std::nullopt;
      return Valor(std::move(dic));
    }
    default:  // keys, UIDs and "none" are not values
      return std::nullopt;
  }
}

plist_t nodoDe(const Valor& valor) {
  struct Visitante {
    plist_t operator()(const std::string& t) const { return plist_new_string(t.c_str()); }
    plist_t operator()(std::int64_t n) const {
      return plist_new_uint(static_cast<std::uint64_t>(n));
    }
    plist_t operator()(double r) const { return plist_new_real(r); }
    plist_t operator()(bool b) const { return plist_new_bool(b ? 1 : 0); }
    plist_t operator()(const Datos& d) const {
      return plist_new_data(reinterpret_cast<const char*>(d.bytes.data()), d.bytes.size());
    }
    plist_t operator()(const Fecha& f) const {
      double desde2001 = f.segundos - 978307200.0;
      auto seg = static_cast<std::int32_t>(desde2001);
      auto useg = static_cast<std::int32_t>((desde2001 - seg) * 1e6);
      return plist_new_date(seg, useg);
    }
    plist_t operator()(const Lista& l) const {
      plist_t a = plist_new_array();
      for (const Valor& v : l) plist_array_append_item(a, nodoDe(v));
      return a;
    }
    plist_t operator()(const Diccionario& d) const {
      plist_t dic = plist_new_dict();
      for (const auto& [clave, v] : d) plist_dict_set_item(dic, clave.c_str(), nodoDe(v));
      return dic;
    }
  };
  return std::visit(Visitante{}, valor.contenido());
}

// --- Bounds judged before libplist sees the data -------------------------------------
//
// libplist builds and frees its trees recursively, compares each binary object with
// every level above it, and copies a shared binary object once per reference. So the
// nesting is bounded here, in one pass over the bytes and without recursion, and so is
// the size of the tree libplist would build.

// libplist's XML reader takes time that grows with the square of a dictionary's keys.
constexpr std::uint64_t kClavesMaximas = 16384;

// The elements an XML list may have open at once: the plist element, the containers and
// one value inside the innermost.
constexpr std::size_t kElementosMaximos = kProfundidadMaxima + 2;

bool esBlancoXml(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whether the nesting of an XML list stays within the bounds: at most kProfundidadMaxima
// array and dict elements inside one another, kElementosMaximos elements of any kind, and
// kClavesMaximas keys (twice as many elements) in a dict.
// Comments, CDATA sections, processing instructions and a document type are skipped, each
// ending at the earliest place it could, so that nothing is skipped that libplist reads.
// What cannot be judged that way is refused: a '<' or '>' inside quotes in a tag (libplist
// honours double quotes only), an internal subset, an end tag that does not close the
// element open.
bool xmlAcotado(std::string_view x) {
  struct Abierto {
    std::string_view nombre;
    bool contenedor;
    std::uint64_t hijos = 0;
  };
  std::vector<Abierto> abiertos;
  int contenedores = 0;
  constexpr auto npos = std::string_view::npos;
  std::size_t i = 0;
  auto saltarHasta = [&](std::size_t desde, std::string_view fin) {
    std::size_t f = x.find(fin, desde);
    i = f == npos ? npos : f + fin.size();
    return f != npos;
  };
  while ((i = x.find('<', i)) != npos) {
    std::string_view resto = x.substr(i);
    if (resto.starts_with("<?")) {
      if (!saltarHasta(i + 1, "?>")) return false;
      continue;
    }
    if (resto.starts_with("<!--")) {
      if (!saltarHasta(i + 2, "-->")) return false;
      continue;
    }
    if (resto.starts_with("<![CDATA[")) {
      if (!saltarHasta(i + 9, "]]>")) return false;
      continue;
    }
    if (resto.starts_with("<!DOCTYPE")) {
      std::size_t f = x.find('>', i);
      // An internal subset may define entities and needs a reader of its own.
      if (f == npos || x.substr(i, f - i).find('[') != npos) return false;
      i = f + 1;
      continue;
    }
    if (resto.starts_with("<!")) return false;

    // A tag: its name runs to a blank, '<' or '>', as libplist reads it.
    std::size_t j = i + 1;
    while (j < x.size() && !esBlancoXml(x[j]) && x[j] != '<' && x[j] != '>') ++j;
    std::string_view nombre = x.substr(i + 1, j - i - 1);
    char comilla = 0;
    for (; j < x.size(); ++j) {
      char c = x[j];
      if (comilla) {
        if (c == '<' || c == '>') return false;
        if (c == comilla) comilla = 0;
      } else if (c == '"' || c == '\'') {
        comilla = c;
      } else if (c == '<') {
        return false;
      } else if (c == '>') {
        break;
      }
    }
    if (j >= x.size()) return false;
    bool vacio = x[j - 1] == '/';
    if (vacio && nombre.ends_with('/') && nombre.data() + nombre.size() == x.data() + j)
      nombre.remove_suffix(1);
    i = j + 1;

    if (nombre.starts_with('/')) {
      nombre.remove_prefix(1);
      if (vacio || abiertos.empty() || abiertos.back().nombre != nombre) return false;
      if (abiertos.back().contenedor) --contenedores;
      abiertos.pop_back();
      continue;
    }
    bool contenedor = nombre == "array" || nombre == "dict";
    if (!abiertos.empty() && abiertos.back().nombre == "dict" &&
        ++abiertos.back().hijos > 2 * kClavesMaximas)
      return false;
    if (abiertos.size() + 1 > kElementosMaximos ||
        contenedores + (contenedor ? 1 : 0) > kProfundidadMaxima)
      return false;
    if (vacio) continue;
    abiertos.push_back({nombre, contenedor});
    if (contenedor) ++contenedores;
  }
  return true;
}

// The big-endian unsigned integer of `ancho` bytes (1 to 8) at `en`, within `b`.
std::optional<std::uint64_t> enteroGrande(std::string_view b, std::uint64_t en, std::size_t ancho) {
  if (ancho == 0 || ancho > 8 || en > b.size() || b.size() - en < ancho) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < ancho; ++k) v = (v << 8) | static_cast<std::uint8_t>(b[en + k]);
  return v;
}

// Whether a binary list is laid out as libplist reads it and within the bounds: a cycle,
// more than kProfundidadMaxima containers inside one another, a dict of more than
// kClavesMaximas keys, a tree of more nodes than the list has bytes once shared objects
// are copied out, or more work for libplist's per-level comparisons than a list of that
// size should cost, is refused. So is a text
// object holding a NUL, anywhere in the object table: libplist aborts on reading a
// dictionary key that holds one.
bool binarioAcotado(std::string_view b) {
  constexpr std::size_t kCola = 32;
  if (b.size() < 8 + kCola || b.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  const std::uint64_t cola = b.size() - kCola;
  const std::size_t anchoDeDesplazamiento = static_cast<std::uint8_t>(b[cola + 6]);
  const std::size_t anchoDeReferencia = static_cast<std::uint8_t>(b[cola + 7]);
  std::optional<std::uint64_t> objetos = enteroGrande(b, cola + 8, 8);
  std::optional<std::uint64_t> raiz = enteroGrande(b, cola + 16, 8);
  std::optional<std::uint64_t> tabla = enteroGrande(b, cola + 24, 8);
  if (anchoDeDesplazamiento < 1 || anchoDeDesplazamiento > 8 || anchoDeReferencia < 1 ||
      anchoDeReferencia > 8 || !objetos || !raiz || !tabla || *objetos == 0 || *raiz >= *objetos ||
      *tabla < 8 || *tabla > cola || *objetos > (cola - *tabla) / anchoDeDesplazamiento)
    return false;

  // Where each container's references start, and how many it has; -1 for other objects.
  struct Contenedor {
    std::uint64_t referencias = 0;
    std::int64_t cuenta = -1;
  };
  std::vector<Contenedor> contenedores(*objetos);
  for (std::uint64_t o = 0; o < *objetos; ++o) {
    std::optional<std::uint64_t> inicio =
        enteroGrande(b, *tabla + o * anchoDeDesplazamiento, anchoDeDesplazamiento);
    if (!inicio || *inicio < 8 || *inicio >= *tabla) return false;
    const auto marca = static_cast<std::uint8_t>(b[*inicio]);
    const unsigned tipo = marca >> 4;
    const bool esTexto = tipo == 0x5 || tipo == 0x6;
    const bool esContenedor = tipo == 0xa || tipo == 0xb || tipo == 0xc || tipo == 0xd;
    if (!esTexto && !esContenedor) continue;
    std::uint64_t cuenta = marca & 0x0f;
    std::uint64_t datos = *inicio + 1;
    if (cuenta == 0x0f) {  // the count follows as an integer object of 1, 2, 4 or 8 bytes
      std::optional<std::uint64_t> marcaDeEntero = enteroGrande(b, datos, 1);
      if (!marcaDeEntero || (*marcaDeEntero >> 4) != 0x1 || (*marcaDeEntero & 0x0f) > 3)
        return false;
      const std::size_t ancho = std::size_t{1} << (*marcaDeEntero & 0x0f);
      std::optional<std::uint64_t> leida = enteroGrande(b, datos + 1, ancho);
      if (!leida) return false;
      cuenta = *leida;
      datos += 1 + ancho;
    }
    const std::uint64_t porElemento = tipo == 0x6    ? 2
                                      : tipo == 0xd  ? 2 * anchoDeReferencia
                                      : esContenedor ? anchoDeReferencia
                                                     : 1;
    if (datos > *tabla || cuenta > (*tabla - datos) / porElemento ||
        (tipo == 0xd && cuenta > kClavesMaximas))
      return false;
    std::string_view contenido = b.substr(datos, cuenta * porElemento);
    if (tipo == 0x5 && contenido.find('\0') != std::string_view::npos) return false;
    for (std::size_t k = 0; tipo == 0x6 && k + 1 < contenido.size(); k += 2)
      if (contenido[k] == '\0' && contenido[k + 1] == '\0') return false;
    if (esContenedor)
      contenedores[o] = {datos, static_cast<std::int64_t>(tipo == 0xd ? 2 * cuenta : cuenta)};
  }

  // Depth-first from the root with a stack of its own, at most kProfundidadMaxima deep.
  // Each container is measured once: its depth, the nodes of its tree as libplist copies
  // it out, and the work of libplist's comparisons (each node costs its level in the tree).
  // Sums saturate above both bounds.
  constexpr std::uint64_t kTope = std::numeric_limits<std::uint32_t>::max();
  const std::uint64_t nodosMaximos = std::min<std::uint64_t>(b.size(), kTope - 1);
  const std::uint64_t trabajoMaximo = std::min<std::uint64_t>(16 * b.size() + 65536, kTope - 1);
  auto sumar = [&](std::uint64_t a, std::uint64_t c) { return std::min(a + c, kTope); };
  enum : std::uint8_t { kSinVer, kEnCurso, kMedido };
  struct Medida {
    std::uint8_t estado = kSinVer;
    std::uint16_t profundidad = 0;  // containers inside one another, itself included
    std::uint32_t nodos = 1, trabajo = 1;
  };
  std::vector<Medida> medidas(*objetos);
  struct Paso {
    std::uint64_t objeto;
    std::int64_t siguiente;
  };
  std::vector<Paso> pila;
  auto entrar = [&](std::uint64_t o) {
    if (pila.size() >= kProfundidadMaxima) return false;
    medidas[o].estado = kEnCurso;
    medidas[o].profundidad = 1;
    pila.push_back({o, 0});
    return true;
  };
  if (contenedores[*raiz].cuenta >= 0 && !entrar(*raiz)) return false;
  while (!pila.empty()) {
    Paso& paso = pila.back();
    const Contenedor& c = contenedores[paso.objeto];
    if (paso.siguiente == c.cuenta) {
      medidas[paso.objeto].estado = kMedido;
      pila.pop_back();
      continue;
    }
    std::uint64_t hijo = *enteroGrande(
        b, c.referencias + static_cast<std::uint64_t>(paso.siguiente) * anchoDeReferencia,
        anchoDeReferencia);
    if (hijo >= *objetos) return false;
    const Medida& h = medidas[hijo];
    if (h.estado == kEnCurso) return false;  // a cycle
    if (h.estado == kSinVer && contenedores[hijo].cuenta >= 0) {
      if (!entrar(hijo)) return false;
      continue;  // measured first; this reference is counted when it comes back here
    }
    // A container measured earlier may be met again deeper down.
    if (pila.size() + h.profundidad > kProfundidadMaxima) return false;
    ++paso.siguiente;
    Medida& m = medidas[paso.objeto];
    m.profundidad = std::max<std::uint16_t>(m.profundidad, h.profundidad + 1);
    m.nodos = static_cast<std::uint32_t>(sumar(m.nodos, h.nodos));
    m.trabajo = static_cast<std::uint32_t>(sumar(m.trabajo, sumar(h.trabajo, h.nodos)));
    if (m.nodos > nodosMaximos || m.trabajo > trabajoMaximo) return false;
  }
  return true;
}

}  // namespace

std::optional<Valor> PropiedadesLinux::leer(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max())
    return std::nullopt;
  plist_t raiz = nullptr;
  auto largo = static_cast<std::uint32_t>(bytes.size());
  if (plist_is_binary(bytes.data(), largo)) {
    if (!binarioAcotado(bytes)) return std::nullopt;
    plist_from_bin(bytes.data(), largo, &raiz);
  } else {
    // A NUL is never part of XML text.
    if (bytes.find('\0') != std::string_view::npos || !xmlAcotado(bytes)) return std::nullopt;
    plist_from_xml(bytes.data(), largo, &raiz);
  }
  Nodo dueno(raiz);
  return convertir(raiz, 0);
}

std::string PropiedadesLinux::escribirXml(const Valor& valor) {
  Nodo raiz(nodoDe(valor));
  char* xml = nullptr;
  std::uint32_t largo = 0;
  plist_to_xml(raiz.get(), &xml, &largo);
  std::string texto = xml ? std::string(xml, largo) : std::string();
  std::free(xml);
  return texto;
}

}  // namespace ovelmar
