#include "ManifiestoDeFirma.hpp"

#include <openssl/evp.h>

#include <deque>
#include <vector>

#include "PropiedadesLinux.hpp"

namespace ovelmar {

namespace {

constexpr std::int64_t kFormato = 1;
// plist > dict > "archivos" dict > entry dict > value: anything deeper is not ours.
constexpr int kProfundidadXml = 6;
constexpr int kSaltosMaximos = 32;  // links followed while resolving one target

// Bounds the element tags of the XML text before the property-list library parses it:
// how deep they nest and how many there are.
bool xmlAcotado(std::string_view b) {
  int profundidad = 0;
  std::size_t elementos = 0;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (b[i] != '<') continue;
    if (i + 1 < b.size() && (b[i + 1] == '?' || b[i + 1] == '!')) continue;
    if (++elementos > sello::kEntradasMaximas * 8 + 64) return false;
    std::size_t fin = b.find('>', i);
    if (fin == std::string_view::npos) return false;
    if (b[i + 1] == '/') {
      if (--profundidad < 0) return false;
    } else if (b[fin - 1] != '/' && ++profundidad > kProfundidadXml) {
      return false;
    }
    i = fin;
  }
  return true;
}

bool textoLimpio(std::string_view t) {
  for (unsigned char c : t)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

std::vector<std::string_view> componentes(std::string_view ruta) {
  std::vector<std::string_view> partes;
  std::size_t inicio = 0;
  while (inicio <= ruta.size()) {
    std::size_t fin = ruta.find('/', inicio);
    if (fin == std::string_view::npos) fin = ruta.size();
    partes.push_back(ruta.substr(inicio, fin - inicio));
    inicio = fin + 1;
  }
  return partes;
}

// A relative path of plain names: no empty part, no "." or "..", nothing absolute.
bool rutaValida(std::string_view ruta) {
  if (ruta.empty() || ruta.size() > sello::kRutaMaxima || !textoLimpio(ruta)) return false;
  auto partes = componentes(ruta);
  if (partes.size() > sello::kComponentesMaximos) return false;
  for (std::string_view p : partes)
    if (p.empty() || p == "." || p == "..") return false;
  return ruta != sello::kCarpeta &&
         ruta.substr(0, sello::kCarpeta.size() + 1) != std::string(sello::kCarpeta) + "/";
}

std::string_view padreDe(std::string_view ruta) {
  std::size_t barra = ruta.rfind('/');
  return barra == std::string_view::npos ? std::string_view() : ruta.substr(0, barra);
}

// Whether the link at `ruta` leads to something the seal lists, inside the bundle,
// resolving every link on the way as the kernel would.
bool enlaceDentro(const Manifiesto& m, std::string_view ruta) {
  std::vector<std::string> pila;
  if (std::string_view padre = padreDe(ruta); !padre.empty())
    for (std::string_view p : componentes(padre)) pila.emplace_back(p);
  std::deque<std::string> pendientes;
  auto anteponer = [&](std::string_view destino) {
    auto partes = componentes(destino);
    for (auto it = partes.rbegin(); it != partes.rend(); ++it) pendientes.emplace_front(*it);
  };
  anteponer(m.enlaces.find(ruta)->second);
  int saltos = 0;
  while (!pendientes.empty()) {
    std::string parte = std::move(pendientes.front());
    pendientes.pop_front();
    if (parte.empty() || parte == ".") continue;
    if (parte == "..") {
      if (pila.empty()) return false;
      pila.pop_back();
      continue;
    }
    std::string candidato;
    for (const std::string& p : pila) candidato += p + "/";
    candidato += parte;
    if (m.carpetas.count(candidato)) {
      pila.push_back(std::move(parte));
    } else if (m.archivos.count(candidato)) {
      for (const std::string& p : pendientes)
        if (!p.empty() && p != ".") return false;  // a file is not a folder
      return true;
    } else if (m.anidados.count(candidato)) {
      // The nested bundle's own seal keeps its links inside it; only a way back up
      // could lead elsewhere.
      for (const std::string& p : pendientes)
        if (p == "..") return false;
      return true;
    } else if (auto enlace = m.enlaces.find(candidato); enlace != m.enlaces.end()) {
      if (++saltos > kSaltosMaximos || enlace->second.front() == '/') return false;
      anteponer(enlace->second);
    } else {
      return false;  // names nothing sealed
    }
  }
  return true;
}

const Diccionario* diccionarioDe(const Diccionario& d, std::string_view clave) {
  const Valor* v = buscar(d, clave);
  return v ? v->diccionario() : nullptr;
}

std::optional<Manifiesto> convertir(const Diccionario& raiz, std::string& error) {
  Manifiesto m;
  const Valor* formato = buscar(raiz, "formato");
  if (!formato || !formato->entero() || *formato->entero() != kFormato) {
    error = "unknown format";
    return std::nullopt;
  }
  const std::string* id = textoDe(raiz, "identificador");
  const Diccionario* archivos = diccionarioDe(raiz, "archivos");
  const Diccionario* enlaces = diccionarioDe(raiz, "enlaces");
  const Diccionario* anidados = diccionarioDe(raiz, "anidados");
  const Valor* carpetas = buscar(raiz, "carpetas");
  if (raiz.size() != 6 || !id || !archivos || !enlaces || !anidados || !carpetas ||
      !carpetas->lista()) {
    error = "the keys are not those of a seal";
    return std::nullopt;
  }
  if (id->empty() || id->size() > sello::kRutaMaxima || !textoLimpio(*id)) {
    error = "the identifier is empty or not plain text";
    return std::nullopt;
  }
  m.identificador = *id;
  if (archivos->size() + enlaces->size() + anidados->size() + carpetas->lista()->size() >
      sello::kEntradasMaximas) {
    error = "it names too many items";
    return std::nullopt;
  }
  auto mala = [&](std::string_view ruta, const char* que) {
    error = "entry \"" + mostrable(ruta) + "\" " + que;
    return false;
  };
  for (const auto& [ruta, v] : *archivos) {
    const Diccionario* d = v.diccionario();
    const std::string* hex = d ? textoDe(*d, "sha256") : nullptr;
    const Valor* modo = d ? buscar(*d, "modo") : nullptr;
    std::optional<Sha256> resumen = hex ? sha256DeHex(*hex) : std::nullopt;
    if (!d || d->size() != 2 || !resumen || !modo || !modo->entero() || *modo->entero() < 0 ||
        *modo->entero() > 07777) {
      mala(ruta, "is not a file with a SHA-256 and a mode");
      return std::nullopt;
    }
    m.archivos[ruta] = ArchivoSellado{*resumen, static_cast<std::uint32_t>(*modo->entero())};
  }
  for (const auto& [ruta, v] : *enlaces) {
    const std::string* destino = v.texto();
    if (!destino || destino->empty() || destino->size() > sello::kRutaMaxima ||
        !textoLimpio(*destino)) {
      mala(ruta, "is not a link with a target");
      return std::nullopt;
    }
    m.enlaces[ruta] = *destino;
  }
  for (const auto& [ruta, v] : *anidados) {
    const std::string* hex = v.texto();
    std::optional<Sha256> resumen = hex ? sha256DeHex(*hex) : std::nullopt;
    if (!resumen) {
      mala(ruta, "is not a nested bundle with a SHA-256");
      return std::nullopt;
    }
    m.anidados[ruta] = *resumen;
  }
  for (const Valor& v : *carpetas->lista()) {
    if (!v.texto() || !m.carpetas.insert(*v.texto()).second) {
      error = "a folder is not a path or is named twice";
      return std::nullopt;
    }
  }
  if (!m.carpetas.count("Contents")) {
    error = "it does not name the Contents folder";
    return std::nullopt;
  }
  // Every item is named once, by a plain relative path whose parents are all sealed
  // folders: so no path leads through a link, a file or a nested bundle.
  std::set<std::string_view> vistas;
  auto comprobar = [&](std::string_view ruta) {
    if (!rutaValida(ruta)) return mala(ruta, "is not a plain path inside the bundle");
    if (!vistas.insert(ruta).second) return mala(ruta, "is named twice");
    std::string_view padre = padreDe(ruta);
    if (!padre.empty() && !m.carpetas.count(padre))
      return mala(ruta, "lies in a folder the seal does not name");
    return true;
  };
  for (const auto& [r, _] : m.archivos)
    if (!comprobar(r)) return std::nullopt;
  for (const auto& [r, _] : m.enlaces)
    if (!comprobar(r)) return std::nullopt;
  for (const auto& [r, _] : m.anidados)
    if (!comprobar(r)) return std::nullopt;
  for (const auto& r : m.carpetas)
    if (!comprobar(r)) return std::nullopt;
  for (const auto& [r, destino] : m.enlaces) {
    if (destino.front() == '/' || !enlaceDentro(m, r)) {
      mala(r, "is a link that leads outside the bundle or to nothing sealed");
      return std::nullopt;
    }
  }
  return m;
}

}  // namespace

std::optional<Manifiesto> leerManifiesto(std::string_view bytes, std::string& error) {
  if (bytes.size() > sello::kTamanoMaximo) {
    error = "it is too large";
    return std::nullopt;
  }
  if (bytes.substr(0, 5) != "<?xml" || !xmlAcotado(bytes)) {
    error = "it is not a plain XML property list";
    return std::nullopt;
  }
  std::optional<Valor> valor = PropiedadesLinux().leer(bytes);
  const Diccionario* raiz = valor ? valor->diccionario() : nullptr;
  if (!raiz) {
    error = "it is not a readable property list";
    return std::nullopt;
  }
  return convertir(*raiz, error);
}

std::string escribirManifiesto(const Manifiesto& m) {
  Diccionario archivos, enlaces, anidados;
  for (const auto& [ruta, a] : m.archivos)
    archivos[ruta] = Diccionario{{"sha256", hexDe(a.sha256)}, {"modo", std::int64_t{a.modo}}};
  for (const auto& [ruta, destino] : m.enlaces) enlaces[ruta] = destino;
  for (const auto& [ruta, resumen] : m.anidados) anidados[ruta] = hexDe(resumen);
  Lista carpetas(m.carpetas.begin(), m.carpetas.end());
  Diccionario raiz{{"formato", kFormato},
                   {"identificador", m.identificador},
                   {"archivos", std::move(archivos)},
                   {"enlaces", std::move(enlaces)},
                   {"anidados", std::move(anidados)},
                   {"carpetas", std::move(carpetas)}};
  return PropiedadesLinux().escribirXml(raiz);
}

Sha256 sha256De(std::string_view bytes) {
  Sha256 r{};
  unsigned int largo = 0;
  EVP_Digest(bytes.data(), bytes.size(), r.data(), &largo, EVP_sha256(), nullptr);
  return r;
}

std::string hexDe(const Sha256& resumen) {
  static constexpr char kDigitos[] = "0123456789abcdef";
  std::string t;
  for (std::uint8_t b : resumen) {
    t += kDigitos[b >> 4];
    t += kDigitos[b & 0xf];
  }
  return t;
}

std::optional<Sha256> sha256DeHex(std::string_view texto) {
  if (texto.size() != 64) return std::nullopt;
  Sha256 r{};
  for (std::size_t i = 0; i < 64; ++i) {
    char c = texto[i];
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0) return std::nullopt;
    r[i / 2] = static_cast<std::uint8_t>(r[i / 2] << 4 | v);
  }
  return r;
}

std::string mostrable(std::string_view texto) {
  std::string t(texto.substr(0, sello::kRutaMaxima));
  for (char& c : t)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return t;
}

}  // namespace ovelmar
