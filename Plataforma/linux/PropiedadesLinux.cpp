#include "PropiedadesLinux.hpp"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

namespace ovelmar {

namespace {

struct Borrar {
  void operator()(plist_t p) const { plist_free(p); }
};
using Nodo = std::unique_ptr<void, Borrar>;

// Deeper trees than any real property list are refused rather than risking the stack.
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
      std::uint32_t n = plist_array_get_size(nodo);
      lista.reserve(n);
      for (std::uint32_t i = 0; i < n; ++i) {
        std::optional<Valor> v = convertir(plist_array_get_item(nodo, i), profundidad + 1);
        if (!v) return std::nullopt;
        lista.push_back(std::move(*v));
      }
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

// Whether a binary property list has a text object with a NUL in it. libplist reads such
// texts, but aborts on reading a dictionary key that holds one, so they are refused
// before any key is read. Only called on lists libplist has already parsed; every read
// is still bounds-checked.
bool binarioConNul(std::string_view b) {
  constexpr std::size_t kCola = 32;
  if (b.size() < 8 + kCola) return true;
  auto entero = [&](std::size_t en, std::size_t ancho, std::uint64_t& v) {
    if (ancho == 0 || ancho > 8 || en > b.size() || b.size() - en < ancho) return false;
    v = 0;
    for (std::size_t i = 0; i < ancho; ++i) v = (v << 8) | static_cast<std::uint8_t>(b[en + i]);
    return true;
  };
  std::size_t cola = b.size() - kCola;
  std::size_t anchoDeDesplazamiento = static_cast<std::uint8_t>(b[cola + 6]);
  std::uint64_t objetos = 0, tabla = 0;
  if (!entero(cola + 8, 8, objetos) || !entero(cola + 24, 8, tabla)) return true;
  if (objetos > b.size() || anchoDeDesplazamiento == 0 || anchoDeDesplazamiento > 8) return true;
  for (std::uint64_t i = 0; i < objetos; ++i) {
    std::uint64_t inicio = 0;
    if (tabla > b.size() ||
        !entero(tabla + i * anchoDeDesplazamiento, anchoDeDesplazamiento, inicio) ||
        inicio >= b.size())
      return true;
    auto marca = static_cast<std::uint8_t>(b[inicio]);
    unsigned tipo = marca >> 4;
    if (tipo != 0x5 && tipo != 0x6) continue;  // ASCII and UTF-16 texts
    std::uint64_t cuenta = marca & 0x0f;
    std::size_t datos = inicio + 1;
    if (cuenta == 0x0f) {  // the length follows as an integer object
      if (datos >= b.size()) return true;
      auto marcaDeEntero = static_cast<std::uint8_t>(b[datos]);
      if ((marcaDeEntero >> 4) != 0x1) return true;
      std::size_t ancho = std::size_t{1} << (marcaDeEntero & 0x0f);
      if (!entero(datos + 1, ancho, cuenta)) return true;
      datos += 1 + ancho;
    }
    std::uint64_t bytes = tipo == 0x6 ? cuenta * 2 : cuenta;
    if (cuenta > b.size() || datos > b.size() || b.size() - datos < bytes) return true;
    std::string_view texto = b.substr(datos, bytes);
    if (tipo == 0x5 && texto.find('\0') != std::string_view::npos) return true;
    for (std::size_t j = 0; tipo == 0x6 && j + 1 < texto.size(); j += 2)
      if (texto[j] == '\0' && texto[j + 1] == '\0') return true;
  }
  return false;
}

}  // namespace

std::optional<Valor> PropiedadesLinux::leer(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max())
    return std::nullopt;
  plist_t raiz = nullptr;
  auto largo = static_cast<std::uint32_t>(bytes.size());
  bool binario = plist_is_binary(bytes.data(), largo);
  if (binario)
    plist_from_bin(bytes.data(), largo, &raiz);
  else if (bytes.find('\0') == std::string_view::npos)  // never part of XML text
    plist_from_xml(bytes.data(), largo, &raiz);
  Nodo dueno(raiz);
  if (binario && raiz && binarioConNul(bytes)) return std::nullopt;
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
