#include "RequisitoDeCodigoLinux.hpp"

#include <openssl/objects.h>

#include <cctype>

#include "ManifiestoDeFirma.hpp"

namespace ovelmar {

namespace {

constexpr std::size_t kTextoMaximo = 4096;
constexpr std::size_t kClausulasMaximas = 32;
constexpr std::size_t kValorMaximo = 1024;
constexpr int kPosicionMaxima = 16;
constexpr std::size_t kArcosMaximos = 32;

// Reads the text left to right; the first fault found is the one reported.
class Lector {
 public:
  explicit Lector(std::string_view t) : t_(t) {}

  std::int32_t estado = FirmaDeCodigo::errSecSuccess;
  std::string error;

  bool fallar(std::int32_t e, const std::string& que) {
    if (estado == FirmaDeCodigo::errSecSuccess) {
      estado = e;
      error = que + " at offset " + std::to_string(i_);
    }
    return false;
  }
  bool invalido(const std::string& que) { return fallar(FirmaDeCodigo::errSecCSReqInvalid, que); }

  void espacios() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r'))
      ++i_;
  }
  bool alFinal() {
    espacios();
    return i_ == t_.size();
  }
  char siguiente() { return i_ < t_.size() ? t_[i_] : '\0'; }

  // A word of letters and digits; empty when none starts here.
  std::string_view palabra() {
    espacios();
    std::size_t inicio = i_;
    while (i_ < t_.size() && std::isalnum(static_cast<unsigned char>(t_[i_]))) ++i_;
    return t_.substr(inicio, i_ - inicio);
  }
  bool esperar(std::string_view p) {
    std::string_view w = palabra();
    return w == p || invalido("expected \"" + std::string(p) + "\"");
  }
  bool simbolo(char c) {
    espacios();
    if (siguiente() != c) return invalido(std::string("expected '") + c + "'");
    ++i_;
    return true;
  }

  // A value in double quotes, with no quote, backslash or control character inside.
  std::optional<std::string> cita() {
    espacios();
    if (siguiente() != '"') return invalido("expected a quoted value"), std::nullopt;
    std::size_t inicio = ++i_;
    while (i_ < t_.size() && t_[i_] != '"') {
      auto c = static_cast<unsigned char>(t_[i_]);
      if (c == '\\' || c < 0x20 || c == 0x7f)
        return invalido("a quoted value holds an escape or control character"), std::nullopt;
      ++i_;
    }
    if (i_ == t_.size()) return invalido("unbalanced quote"), std::nullopt;
    std::string valor(t_.substr(inicio, i_ - inicio));
    ++i_;
    // A quote must end the value: `"a"b"` is a quote inside a value, not two tokens.
    if (i_ < t_.size() && !std::isspace(static_cast<unsigned char>(t_[i_])))
      return invalido("text runs on after a closing quote"), std::nullopt;
    if (valor.size() > kValorMaximo) return invalido("a quoted value is too long"), std::nullopt;
    return valor;
  }

  // What stands between the brackets after a certificate position.
  std::optional<std::string_view> corchete() {
    if (!simbolo('[')) return std::nullopt;
    std::size_t inicio = i_, fin = t_.find(']', i_);
    if (fin == std::string_view::npos) return invalido("unbalanced '['"), std::nullopt;
    i_ = fin + 1;
    return t_.substr(inicio, fin - inicio);
  }

 private:
  std::string_view t_;
  std::size_t i_ = 0;
};

// Dotted decimal with at least two arcs, the first 0, 1 or 2, no leading zeros.
bool oidValido(std::string_view oid) {
  std::size_t arcos = 0, inicio = 0;
  while (inicio <= oid.size()) {
    std::size_t fin = oid.find('.', inicio);
    if (fin == std::string_view::npos) fin = oid.size();
    std::string_view arco = oid.substr(inicio, fin - inicio);
    if (arco.empty() || arco.size() > 9 || (arco.size() > 1 && arco[0] == '0')) return false;
    for (char c : arco)
      if (c < '0' || c > '9') return false;
    if (arcos == 0 && arco.size() == 1 && arco[0] > '2') return false;
    if (arcos == 0 && arco.size() > 1) return false;
    if (++arcos > kArcosMaximos) return false;
    inicio = fin + 1;
  }
  return arcos >= 2;
}

}  // namespace

std::string nombreDeCertificado(X509* c) {
  char* linea = X509_NAME_oneline(X509_get_subject_name(c), nullptr, 0);
  std::string t = linea ? mostrable(linea) : std::string("?");
  OPENSSL_free(linea);
  return t;
}

std::int32_t RequisitoDeCodigoLinux::compilar(std::string_view texto,
                                              std::unique_ptr<RequisitoDeCodigoLinux>& requisito,
                                              std::string& error) {
  using Tipo = Clausula::Tipo;
  auto r = std::make_unique<RequisitoDeCodigoLinux>();
  Lector l(texto);
  if (texto.size() > kTextoMaximo) l.invalido("the requirement is too long");
  if (texto.find('\0') != std::string_view::npos) l.invalido("the requirement holds a NUL byte");
  if (l.alFinal()) l.invalido("the requirement is empty");
  while (l.estado == FirmaDeCodigo::errSecSuccess) {
    if (r->clausulas_.size() == kClausulasMaximas) {
      l.invalido("too many clauses");
      break;
    }
    l.espacios();
    if (l.siguiente() == '(' || l.siguiente() == '!') {
      l.fallar(FirmaDeCodigo::errSecCSReqUnsupported, "parentheses and negation are not supported");
      break;
    }
    Clausula c;
    std::string_view w = l.palabra();
    if (w == "anchor") {
      c.tipo = Tipo::ancla;
      if (!l.esperar("apple") || !l.esperar("generic")) break;
      c.texto = "anchor apple generic";
    } else if (w == "identifier") {
      c.tipo = Tipo::identificador;
      std::optional<std::string> v = l.cita();
      if (!v) break;
      c.valor = *v;
      c.texto = "identifier \"" + c.valor + "\"";
    } else if (w == "certificate") {
      std::string_view p = l.palabra();
      if (p == "leaf") {
        c.posicion = 0;
      } else if (p == "root") {
        c.posicion = -1;
      } else if (!p.empty() && p.size() <= 2 &&
                 p.find_first_not_of("0123456789") == std::string_view::npos &&
                 std::stoi(std::string(p)) <= kPosicionMaxima) {
        c.posicion = std::stoi(std::string(p));
      } else {
        l.invalido("expected leaf, root or a certificate number");
        break;
      }
      std::optional<std::string_view> campo = l.corchete();
      if (!campo) break;
      std::string prefijo = "certificate " + std::string(p) + "[" + std::string(*campo) + "]";
      if (*campo == "subject.OU") {
        c.tipo = Tipo::unidad;
        std::optional<std::string> v;
        if (!l.simbolo('=') || !(v = l.cita())) break;
        c.valor = *v;
        c.texto = prefijo + " = \"" + c.valor + "\"";
      } else if (campo->substr(0, 6) == "field." && oidValido(campo->substr(6))) {
        c.tipo = Tipo::extension;
        c.oid.reset(OBJ_txt2obj(std::string(campo->substr(6)).c_str(), 1), ASN1_OBJECT_free);
        if (!c.oid) {
          l.invalido("the object identifier cannot be read");
          break;
        }
        if (!l.esperar("exists")) break;
        c.texto = prefijo + " exists";
      } else {
        l.invalido("unknown certificate field \"" + mostrable(*campo) + "\"");
        break;
      }
    } else if (w == "notarized") {
      c.tipo = Tipo::notarizado;
      c.texto = "notarized";
    } else if (w == "or") {
      l.fallar(FirmaDeCodigo::errSecCSReqUnsupported, "\"or\" is not supported");
      break;
    } else {
      l.invalido(w.empty() ? "expected a clause" : "unknown clause \"" + mostrable(w) + "\"");
      break;
    }
    r->clausulas_.push_back(std::move(c));
    if (l.alFinal()) break;
    std::string_view union_ = l.palabra();
    if (union_ == "or")
      l.fallar(FirmaDeCodigo::errSecCSReqUnsupported, "\"or\" is not supported");
    else if (union_ != "and")
      l.invalido("expected \"and\" or the end of the requirement");
  }
  if (l.estado != FirmaDeCodigo::errSecSuccess) {
    error = l.error;
    return l.estado;
  }
  requisito = std::move(r);
  return FirmaDeCodigo::errSecSuccess;
}

std::optional<std::string> RequisitoDeCodigoLinux::incumplida(const HechosDeFirma& h) const {
  for (const Clausula& c : clausulas_)
    if (std::optional<std::string> porque = porQueFalla(c, h))
      return "the code does not meet the requirement clause '" + mostrable(c.texto) +
             "': " + *porque;
  return std::nullopt;
}

std::optional<std::string> RequisitoDeCodigoLinux::porQueFalla(const Clausula& c,
                                                               const HechosDeFirma& h) const {
  using Tipo = Clausula::Tipo;
  switch (c.tipo) {
    case Tipo::ancla:
      if (h.anclada) return std::nullopt;
      return std::string("the chain does not end at the trust root");
    case Tipo::identificador:
      if (h.identificador == c.valor) return std::nullopt;
      return "the code's identifier is \"" + mostrable(h.identificador) + "\"";
    case Tipo::notarizado:
      if (h.sinNotarizar.empty()) return std::nullopt;
      return h.sinNotarizar;
    case Tipo::extension:
    case Tipo::unidad:
      break;
  }
  const int n = h.cadena ? sk_X509_num(h.cadena) : 0;
  const int posicion = c.posicion < 0 ? n - 1 : c.posicion;
  if (posicion < 0 || posicion >= n) return "the chain has " + std::to_string(n) + " certificates";
  X509* cert = sk_X509_value(h.cadena, posicion);
  if (c.tipo == Tipo::extension) {
    if (X509_get_ext_by_OBJ(cert, c.oid.get(), -1) >= 0) return std::nullopt;
    return "certificate " + nombreDeCertificado(cert) + " has no such extension";
  }
  // Exactly one organisational unit, equal to the value.
  X509_NAME* nombre = X509_get_subject_name(cert);
  int i = X509_NAME_get_index_by_NID(nombre, NID_organizationalUnitName, -1);
  if (i < 0) return "certificate " + nombreDeCertificado(cert) + " names no organisational unit";
  if (X509_NAME_get_index_by_NID(nombre, NID_organizationalUnitName, i) >= 0)
    return "certificate " + nombreDeCertificado(cert) + " names more than one organisational unit";
  unsigned char* utf8 = nullptr;
  int largo = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(nombre, i)));
  bool igual = largo >= 0 && std::string_view(reinterpret_cast<char*>(utf8), largo) == c.valor;
  std::string unidad = largo >= 0 ? std::string(reinterpret_cast<char*>(utf8), largo) : "";
  OPENSSL_free(utf8);
  if (igual) return std::nullopt;
  return "certificate " + nombreDeCertificado(cert) + " has the organisational unit \"" +
         mostrable(unidad) + "\"";
}

}  // namespace ovelmar
