#include "ReglasDeActualizacion.hpp"

#include <charconv>
#include <cmath>

namespace ovelmar {

const Identidad& ReglasDeActualizacion::identidad() const {
  std::call_once(unaVez_, [this] {
    std::optional<Diccionario> info = plataforma_.paquete->info();
    identidad_ = Identidad::de(info ? *info : Diccionario{});
    if (const Valor* clave = info ? buscar(*info, "OvelmarClavePublica") : nullptr)
      clavePublica_ = clave->texto() ? *clave->texto() : std::string();
  });
  return identidad_;
}

const std::optional<std::string>& ReglasDeActualizacion::clavePublica() const {
  identidad();
  return clavePublica_;
}

namespace {

// 2^63 is exact as a double; a whole double from -2^63 up to, but not including, 2^63
// converts to int64 without undefined behaviour.
constexpr double kDosALa63 = 9223372036854775808.0;
// Far above the 88 characters of an Ed25519 signature in base64.
constexpr std::size_t kFirmaMaxima = 1024;

bool esDigito(char c) {
  return c >= '0' && c <= '9';
}

bool esHexadecimal(char c) {
  return esDigito(c) || (c >= 'a' && c <= 'f');
}

char enMinuscula(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::optional<std::int64_t> enteroDeReal(double r) {
  // NaN fails every comparison, infinities fail the range test: neither reaches a cast.
  if (r == std::trunc(r) && r >= -kDosALa63 && r < kDosALa63) return static_cast<std::int64_t>(r);
  return std::nullopt;
}

std::optional<std::int64_t> enteroDeTexto(std::string_view t) {
  // Spaces and tabs only: a line break around the number is not accepted.
  auto espacio = [](char c) { return c == ' ' || c == '\t'; };
  while (!t.empty() && espacio(t.front())) t.remove_prefix(1);
  while (!t.empty() && espacio(t.back())) t.remove_suffix(1);
  if (t.empty()) return std::nullopt;
  bool negativo = t.front() == '-';
  std::string_view cifras = t.front() == '+' || negativo ? t.substr(1) : t;
  if (cifras.empty()) return std::nullopt;
  for (char c : cifras)
    if (!esDigito(c)) return std::nullopt;
  // from_chars takes the minus itself, so the most negative value parses without overflow.
  std::string_view numero = negativo ? t : cifras;
  std::int64_t n = 0;
  auto [fin, error] = std::from_chars(numero.data(), numero.data() + numero.size(), n);
  if (error != std::errc() || fin != numero.data() + numero.size()) return std::nullopt;
  return n;
}

}  // namespace

std::optional<std::int64_t> ReglasDeActualizacion::entero(const Valor* valor) {
  if (!valor) return std::nullopt;
  if (const std::int64_t* n = valor->entero()) return *n;
  if (const double* r = valor->real()) return enteroDeReal(*r);
  if (const std::string* t = valor->texto()) return enteroDeTexto(*t);
  // Booleans are not numbers here: a <true/> "build" must not pass as build 1.
  return std::nullopt;
}

std::optional<Pedido> ReglasDeActualizacion::leerPedido(const Diccionario& pedido) const {
  const std::string* url = textoDe(pedido, "url");
  if (!url) return std::nullopt;
  std::optional<UrlAnalizada> analizada = plataforma_.urls->analizar(*url);
  if (!analizada) return std::nullopt;
  if (analizada->esquema != "https") return std::nullopt;
  if (analizada->anfitrion.empty()) return std::nullopt;

  const std::string* sha = textoDe(pedido, "sha256");
  if (!sha) return std::nullopt;
  std::string sha256;
  sha256.reserve(sha->size());
  for (char c : *sha) sha256 += enMinuscula(c);
  if (sha256.size() != 64) return std::nullopt;
  for (char c : sha256)
    if (!esHexadecimal(c)) return std::nullopt;

  std::optional<std::int64_t> build = entero(buscar(pedido, "build"));
  if (!build || *build < 1) return std::nullopt;
  std::optional<std::int64_t> tamano = entero(buscar(pedido, "tamano"));
  if (!tamano || *tamano < 1 || *tamano > tamanoMaximo) return std::nullopt;

  std::optional<std::int64_t> base;
  if (const Valor* b = buscar(pedido, "base")) {
    base = entero(b);
    if (!base || *base < 1 || *base >= *build) return std::nullopt;
  }
  // Optional: a host without a public key ignores it, so nothing here refuses the request.
  std::optional<std::string> firma;
  if (const Valor* v = buscar(pedido, "firmaDelArchivo")) {
    const std::string* t = v->texto();
    firma = t && t->size() <= kFirmaMaxima ? *t : std::string();
  }
  return Pedido{*url, std::move(sha256), *build, *tamano, base, std::move(firma)};
}

Comprobacion ReglasDeActualizacion::comprobarApp(const std::optional<std::string>& identificador,
                                                 std::optional<std::int64_t> build, bool tieneMacOS,
                                                 std::int64_t esperado, std::int64_t actual) const {
  if (!tieneMacOS) return Comprobacion::noEsAppDeMac();
  if (!identificador) return Comprobacion::otroIdentificador(std::nullopt);
  if (*identificador != identidad().identificador)
    return Comprobacion::otroIdentificador(identificador);
  if (!build || *build != esperado) return Comprobacion::otroBuild(build);
  if (actual < *build) return Comprobacion::vale();
  return Comprobacion::noEsMasNueva();
}

std::string ReglasDeActualizacion::requisitoDeFirma(
    std::string_view equipo, std::optional<std::string_view> identificador) const {
  std::string_view id = identificador ? *identificador : std::string_view(this->identificador());
  std::string r = "anchor apple generic";
  r += " and identifier \"";
  r += id;
  r += "\"";
  r += " and certificate 1[field.1.2.840.113635.100.6.2.6] exists";
  r += " and certificate leaf[field.1.2.840.113635.100.6.1.13] exists";
  r += " and certificate leaf[subject.OU] = \"";
  r += equipo;
  r += "\"";
  r += " and notarized";
  return r;
}

std::string ReglasDeActualizacion::hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kCifras[] = "0123456789abcdef";
  std::string r;
  r.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    r += kCifras[b >> 4];
    r += kCifras[b & 0x0f];
  }
  return r;
}

bool ReglasDeActualizacion::sinContrasena(bool carpetaEscribible, bool appEscribible,
                                          bool appEsDelUsuario) {
  return carpetaEscribible && appEscribible && appEsDelUsuario;
}

// $1 host pid, $2 installed bundle, $3 new bundle. Waits for the host (at most 300 pauses),
// swaps with rollback and opens whichever version ended up in place.
const std::string_view ReglasDeActualizacion::guionDeCambio =
    R"(pid="$1"; app="$2"; nueva="$3"; vieja="$2.viejo"
i=0; while /bin/kill -0 "$pid" 2>/dev/null && [ "$i" -lt 300 ]; do /bin/sleep 0.1; i=$((i+1)); done
/bin/rm -rf "$vieja"
if /bin/mv "$app" "$vieja"; then
  if /bin/mv "$nueva" "$app"; then /bin/rm -rf "$vieja"; else /bin/mv "$vieja" "$app"; /bin/rm -rf "$nueva"; fi
fi
/usr/bin/open "$app")";

// $1 host pid, $2 installed bundle (already replaced with administrator rights).
const std::string_view ReglasDeActualizacion::guionDeReabrir =
    R"(i=0; while /bin/kill -0 "$1" 2>/dev/null && [ "$i" -lt 300 ]; do /bin/sleep 0.1; i=$((i+1)); done
/usr/bin/open "$2")";

}  // namespace ovelmar
