#include "FirmaDeCodigoLinux.hpp"

#include <fcntl.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "RecursosSellados.hpp"
#include "RequisitoDeCodigoLinux.hpp"

namespace ovelmar {

namespace {

constexpr std::uint32_t kBanderasConocidas = FirmaDeCodigo::kSecCSCheckAllArchitectures |
                                             FirmaDeCodigo::kSecCSCheckNestedCode |
                                             FirmaDeCodigo::kSecCSStrictValidate;
constexpr std::size_t kFirmaMaxima = 1 << 20;  // bytes of a CMS signature or ticket
constexpr int kCertificadosMaximos = 16;
constexpr int kCadenaMaxima = 8;
constexpr int kAnidamientoMaximo = 8;
constexpr std::time_t kMargenDeReloj = 300;  // how far ahead of us a notary's clock may be

struct LiberarCms {
  void operator()(CMS_ContentInfo* c) const { CMS_ContentInfo_free(c); }
};
struct LiberarX509 {
  void operator()(X509* c) const { X509_free(c); }
};
struct LiberarPila {
  void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
using Cms = std::unique_ptr<CMS_ContentInfo, LiberarCms>;
using Pila = std::unique_ptr<STACK_OF(X509), LiberarPila>;

class CodigoLinux : public CodigoEstatico {
 public:
  explicit CodigoLinux(std::string ruta) : ruta(std::move(ruta)) {}
  const std::string ruta;
};

enum class Lectura { bien, falta, mala };

// A regular file of at most `maximo` bytes below `raiz`, read whole.
Lectura leerDebajo(int raiz, const std::string& ruta, std::size_t maximo, std::string& bytes) {
  Descriptor fd(abrirDebajo(raiz, ruta, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return errno == ENOENT ? Lectura::falta : Lectura::mala;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) > maximo)
    return Lectura::mala;
  bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t leidos = 0;
  while (leidos < bytes.size()) {
    ssize_t n = read(fd.get(), bytes.data() + leidos, bytes.size() - leidos);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Lectura::mala;
    if (n == 0) break;
    leidos += static_cast<std::size_t>(n);
  }
  if (leidos > maximo) return Lectura::mala;  // grew while read
  bytes.resize(leidos);
  return Lectura::bien;
}

std::string enSello(std::string_view nombre) {
  return std::string(sello::kCarpeta) + "/" + std::string(nombre);
}

// A detached CMS signature over plain data by exactly one signer with a SHA-2 digest and
// a handful of certificates; empty with a reason otherwise.
Cms leerCms(std::string_view der, std::string& porque) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  Cms cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
  ERR_clear_error();
  if (!cms || p != reinterpret_cast<const unsigned char*>(der.data() + der.size())) {
    porque = "it is not a DER CMS structure";
    return nullptr;
  }
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data ||
      CMS_is_detached(cms.get()) != 1) {
    porque = "it is not a detached signature over data";
    return nullptr;
  }
  STACK_OF(CMS_SignerInfo)* firmantes = CMS_get0_SignerInfos(cms.get());
  if (sk_CMS_SignerInfo_num(firmantes) != 1) {
    porque = "it does not have exactly one signer";
    return nullptr;
  }
  X509_ALGOR* resumen = nullptr;
  CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(firmantes, 0), nullptr, nullptr, &resumen,
                           nullptr);
  const ASN1_OBJECT* algoritmo = nullptr;
  if (resumen) X509_ALGOR_get0(&algoritmo, nullptr, nullptr, resumen);
  int nid = algoritmo ? OBJ_obj2nid(algoritmo) : NID_undef;
  if (nid != NID_sha256 && nid != NID_sha384 && nid != NID_sha512) {
    porque = "its digest is not SHA-256, SHA-384 or SHA-512";
    return nullptr;
  }
  Pila certificados(CMS_get1_certs(cms.get()));
  int n = certificados ? sk_X509_num(certificados.get()) : 0;
  if (n < 1 || n > kCertificadosMaximos) {
    porque = "it does not carry the signer's certificates";
    return nullptr;
  }
  return cms;
}

// Whether the signature covers `datos`; on success `firmante` is its certificate.
bool cubre(CMS_ContentInfo* cms, std::string_view datos, X509*& firmante) {
  BIO* bio = BIO_new_mem_buf(datos.data(), static_cast<int>(datos.size()));
  int bien =
      bio ? CMS_verify(cms, nullptr, nullptr, bio, nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY)
          : 0;
  BIO_free(bio);
  ERR_clear_error();
  firmante = nullptr;
  if (bien == 1)
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0), nullptr,
                             &firmante, nullptr, nullptr);
  return bien == 1 && firmante;
}

std::uint32_t usosExtendidos(X509* c) {
  return (X509_get_extension_flags(c) & EXFLAG_XKUSAGE) ? X509_get_extended_key_usage(c) : 0;
}
bool firmaDigitalmente(X509* c) {
  return (X509_get_key_usage(c) & KU_DIGITAL_SIGNATURE) != 0;
}
bool firmaCodigo(X509* c) {
  return (usosExtendidos(c) & XKU_CODE_SIGN) && firmaDigitalmente(c);
}
bool esNotario(X509* c) {
  std::uint32_t usos = usosExtendidos(c);
  return (usos & XKU_TIMESTAMP) && !(usos & XKU_CODE_SIGN) && firmaDigitalmente(c);
}

// The signing time the signer put among the signed attributes.
std::optional<std::time_t> momentoDeFirma(CMS_ContentInfo* cms) {
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
  int i = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
  X509_ATTRIBUTE* atributo = i >= 0 ? CMS_signed_get_attr(si, i) : nullptr;
  if (!atributo || X509_ATTRIBUTE_count(atributo) != 1) return std::nullopt;
  ASN1_TYPE* valor = X509_ATTRIBUTE_get0_type(atributo, 0);
  if (!valor || (valor->type != V_ASN1_UTCTIME && valor->type != V_ASN1_GENERALIZEDTIME))
    return std::nullopt;
  std::tm tm{};
  if (ASN1_TIME_to_tm(reinterpret_cast<ASN1_TIME*>(valor->value.asn1_string), &tm) != 1)
    return std::nullopt;
  return timegm(&tm);
}

FirmaDeCodigoLinux::Fallo fallo(std::int32_t estado, std::string descripcion) {
  return {estado, std::move(descripcion)};
}

}  // namespace

struct FirmaDeCodigoLinux::Notarizacion {
  std::string problema = "no notarisation ticket is stapled";
  std::time_t momento = 0;
  std::unique_ptr<X509, LiberarX509> raiz;  // of the notary's chain
};

struct FirmaDeCodigoLinux::Validado {
  std::string identificador;
  Pila cadena;
};

FirmaDeCodigoLinux::FirmaDeCodigoLinux(std::string_view raizPem) {
  BIO* bio = BIO_new_mem_buf(raizPem.data(), static_cast<int>(raizPem.size()));
  while (X509* c = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr)
    raices_.push_back(c);
  BIO_free(bio);
  ERR_clear_error();
  if (raizPem.empty())
    sinRaiz_ = "this build trusts no signing authority (it was built without a trust root)";
  else if (raices_.empty())
    sinRaiz_ = "this build trusts no signing authority (its trust root is not a certificate)";
}

FirmaDeCodigoLinux::~FirmaDeCodigoLinux() {
  for (X509* c : raices_) X509_free(c);
}

std::int32_t FirmaDeCodigoLinux::crearCodigoEstatico(const std::string& ruta,
                                                     std::uint32_t banderas,
                                                     std::unique_ptr<CodigoEstatico>& codigo) {
  if (banderas != 0) return errSecCSInvalidFlags;
  // The bundle itself, never what a link at its place points at.
  struct stat st {};
  if (ruta.empty() || lstat(ruta.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return errSecCSStaticCodeNotFound;
  codigo = std::make_unique<CodigoLinux>(ruta);
  return errSecSuccess;
}

namespace {

// Adds what the seal of the bundle open as `carpeta` names, below `prefijo`, and then the
// content of its nested bundles; false when a seal is missing, malformed or too much.
bool anadirSellado(int carpeta, const std::string& prefijo, int profundidad,
                   ContenidoSellado& contenido) {
  constexpr std::size_t kMaximo = 200000;  // items of a bundle and all it nests
  std::string recursos, error;
  if (leerDebajo(carpeta, enSello(sello::kRecursos), sello::kTamanoMaximo, recursos) !=
      Lectura::bien)
    return false;
  std::optional<Manifiesto> m = leerManifiesto(recursos, error);
  if (!m) return false;
  for (const auto& [ruta, archivo] : m->archivos) contenido.archivos[prefijo + ruta] = archivo.modo;
  for (const auto& [ruta, destino] : m->enlaces) contenido.enlaces[prefijo + ruta] = destino;
  for (const std::string& ruta : m->carpetas) contenido.carpetas.insert(prefijo + ruta);
  if (contenido.archivos.size() + contenido.enlaces.size() + contenido.carpetas.size() > kMaximo)
    return false;
  if (!m->anidados.empty() && profundidad >= kAnidamientoMaximo) return false;
  for (const auto& anidado : m->anidados) {
    const std::string& ruta = anidado.first;
    Descriptor sub(abrirDebajo(carpeta, ruta, O_RDONLY | O_DIRECTORY));
    contenido.carpetas.insert(prefijo + ruta);
    if (sub.get() < 0 ||
        !anadirSellado(sub.get(), prefijo + ruta + "/", profundidad + 1, contenido))
      return false;
  }
  return true;
}

}  // namespace

std::optional<ContenidoSellado> FirmaDeCodigoLinux::contenidoSellado(const std::string& paquete) {
  Descriptor carpeta(open(paquete.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  ContenidoSellado contenido;
  if (carpeta.get() < 0 || !anadirSellado(carpeta.get(), "", 0, contenido)) return std::nullopt;
  return contenido;
}

std::int32_t FirmaDeCodigoLinux::crearRequisito(const std::string& texto, std::uint32_t banderas,
                                                std::unique_ptr<RequisitoDeCodigo>& requisito) {
  if (banderas != 0) return errSecCSInvalidFlags;
  std::unique_ptr<RequisitoDeCodigoLinux> compilado;
  std::string error;
  std::int32_t estado = RequisitoDeCodigoLinux::compilar(texto, compilado, error);
  if (estado == errSecSuccess) requisito = std::move(compilado);
  return estado;
}

std::int32_t FirmaDeCodigoLinux::comprobarValidez(const CodigoEstatico& codigo,
                                                  std::uint32_t banderas,
                                                  const RequisitoDeCodigo* requisito,
                                                  std::optional<std::string>& error) {
  auto fallar = [&](std::int32_t estado, std::string descripcion) {
    error = std::move(descripcion);
    return estado;
  };
  if (banderas & ~kBanderasConocidas) return fallar(errSecCSInvalidFlags, "unknown flags");
  const auto* nuestro = dynamic_cast<const CodigoLinux*>(&codigo);
  const auto* exigido = dynamic_cast<const RequisitoDeCodigoLinux*>(requisito);
  if (!nuestro) return fallar(errSecCSStaticCodeNotFound, "not a static code object");
  if (requisito && !exigido) return fallar(errSecCSReqInvalid, "not a compiled requirement");
  if (!sinRaiz_.empty()) return fallar(errSecCSSignatureNotVerifiable, sinRaiz_);

  Descriptor paquete(open(nuestro->ruta.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (paquete.get() < 0) return fallar(errSecCSStaticCodeNotFound, "the bundle cannot be opened");
  Notarizacion notarizacion;
  Validado validado;
  if (std::optional<Fallo> f = validarPaquete(paquete.get(), banderas, 0, nullptr, 0, nullptr,
                                              nullptr, &notarizacion, validado))
    return fallar(f->estado, f->descripcion);
  if (!exigido) return errSecSuccess;

  X509* raiz = sk_X509_value(validado.cadena.get(), sk_X509_num(validado.cadena.get()) - 1);
  if (notarizacion.problema.empty() && X509_cmp(notarizacion.raiz.get(), raiz) != 0)
    notarizacion.problema = "the notarisation ticket chains to another root";
  // The chain was verified up to one of the trust roots (no partial chains), so it is
  // anchored.
  HechosDeFirma hechos{validado.identificador, validado.cadena.get(), true, notarizacion.problema};
  if (std::optional<std::string> porque = exigido->incumplida(hechos))
    return fallar(errSecCSReqFailed, *porque);
  return errSecSuccess;
}

std::optional<FirmaDeCodigoLinux::Fallo> FirmaDeCodigoLinux::validarPaquete(
    int carpeta, std::uint32_t banderas, int profundidad, const Sha256* selloEsperado,
    std::time_t momento, X509* raizExigida, X509* firmanteExigido, Notarizacion* notarizacion,
    Validado& validado) const {
  const bool anidado = profundidad > 0;
  std::string recursos, firma;
  Lectura r = leerDebajo(carpeta, enSello(sello::kRecursos), sello::kTamanoMaximo, recursos);
  Lectura f = leerDebajo(carpeta, enSello(sello::kFirma), kFirmaMaxima, firma);
  if (f == Lectura::falta)
    return anidado ? fallo(errSecCSUnsignedNestedCode, "the nested code is not signed")
                   : fallo(errSecCSUnsigned, "code object is not signed at all");
  if (r == Lectura::falta)
    return fallo(errSecCSResourcesNotFound, "the resource seal CodeResources is missing");
  if (r == Lectura::mala)
    return fallo(errSecCSResourcesInvalid, "CodeResources is not a readable file of sane size");
  if (f == Lectura::mala)
    return fallo(errSecCSSignatureInvalid, "CodeSignature is not a readable file of sane size");

  const Sha256 resumen = sha256De(recursos);
  if (selloEsperado && resumen != *selloEsperado)
    return fallo(errSecCSBadResource,
                 "its CodeResources is not the one the enclosing bundle sealed");
  std::string porque;
  Cms cms = leerCms(firma, porque);
  if (!cms) return fallo(errSecCSSignatureInvalid, "CodeSignature is malformed: " + porque);
  X509* hoja = nullptr;
  if (!cubre(cms.get(), recursos, hoja))
    return fallo(errSecCSSignatureFailed, "CodeSignature does not sign this CodeResources");

  const std::time_t ahora = std::time(nullptr);
  if (notarizacion) {
    *notarizacion = leerTicket(carpeta, resumen, ahora);
    momento = notarizacion->problema.empty() ? notarizacion->momento : ahora;
  }
  Pila certificados(CMS_get1_certs(cms.get()));
  STACK_OF(X509)* cadena = nullptr;
  if (std::optional<std::string> mal = verificarCadena(hoja, certificados.get(), momento, &cadena))
    return fallo(errSecCSSignatureNotVerifiable,
                 "the signing certificate chain is not valid: " + *mal);
  validado.cadena.reset(cadena);
  if (!firmaCodigo(hoja))
    return fallo(errSecCSSignatureNotVerifiable,
                 "the signing certificate " + nombreDeCertificado(hoja) + " may not sign code");
  X509* raiz = sk_X509_value(cadena, sk_X509_num(cadena) - 1);
  if (raizExigida && X509_cmp(raiz, raizExigida) != 0)
    return fallo(errSecCSSignatureNotVerifiable,
                 "its chain ends at another root than the enclosing bundle's");
  // The enclosing seal pins a nested bundle's contents, not who signed them: without this,
  // any certificate of the same root could sign them again.
  if (firmanteExigido &&
      X509_NAME_cmp(X509_get_subject_name(hoja), X509_get_subject_name(firmanteExigido)) != 0)
    return fallo(errSecCSReqFailed, "it is signed by " + nombreDeCertificado(hoja) +
                                        ", not by the enclosing bundle's signer");

  std::string error;
  std::optional<Manifiesto> m = leerManifiesto(recursos, error);
  if (!m) return fallo(errSecCSResourcesInvalid, "CodeResources is invalid: " + error);
  validado.identificador = m->identificador;
  if (std::optional<std::string> d =
          compararConElSello(carpeta, *m, banderas & kSecCSStrictValidate))
    return fallo(errSecCSBadResource, "a sealed resource is missing or invalid: " + *d);

  if (!m->anidados.empty() && profundidad >= kAnidamientoMaximo)
    return fallo(errSecCSResourcesInvalid, "bundles are nested too deeply");
  for (const auto& [ruta, sellado] : m->anidados) {
    const std::string nombre = "nested code " + mostrable(ruta) + ": ";
    std::optional<Fallo> malo;
    if (banderas & kSecCSCheckNestedCode) {
      Descriptor sub(abrirDebajo(carpeta, ruta, O_RDONLY | O_DIRECTORY));
      Validado suyo;
      malo = sub.get() < 0 ? fallo(errSecCSBadResource, "it cannot be opened")
                           : validarPaquete(sub.get(), banderas, profundidad + 1, &sellado, momento,
                                            raiz, hoja, nullptr, suyo);
    } else {
      // Its seal alone, as a sealed resource of this bundle.
      std::string suyos;
      Lectura l =
          leerDebajo(carpeta, ruta + "/" + enSello(sello::kRecursos), sello::kTamanoMaximo, suyos);
      if (l != Lectura::bien)
        malo = fallo(errSecCSUnsignedNestedCode, "the nested code is not signed");
      else if (sha256De(suyos) != sellado)
        malo = fallo(errSecCSBadResource,
                     "its CodeResources is not the one the enclosing bundle sealed");
    }
    if (malo) return fallo(malo->estado, nombre + malo->descripcion);
  }
  return std::nullopt;
}

FirmaDeCodigoLinux::Notarizacion FirmaDeCodigoLinux::leerTicket(int carpeta, const Sha256& recursos,
                                                                std::time_t ahora) const {
  Notarizacion n;
  std::string ticket, porque;
  Lectura l = leerDebajo(carpeta, enSello(sello::kTicket), kFirmaMaxima, ticket);
  if (l == Lectura::falta) return n;
  Cms cms = l == Lectura::bien ? leerCms(ticket, porque) : nullptr;
  X509* notario = nullptr;
  std::optional<std::time_t> momento;
  STACK_OF(X509)* cadena = nullptr;
  if (!cms) {
    n.problema = "the notarisation ticket is malformed";
  } else if (!cubre(
                 cms.get(),
                 std::string_view(reinterpret_cast<const char*>(recursos.data()), recursos.size()),
                 notario)) {
    n.problema = "the notarisation ticket does not cover this CodeResources";
  } else if (!esNotario(notario)) {
    n.problema = "the notarisation ticket is not signed by a notary";
  } else if (Pila certificados(CMS_get1_certs(cms.get()));
             std::optional<std::string> mal =
                 verificarCadena(notario, certificados.get(), ahora, &cadena)) {
    n.problema = "the notary's certificate chain is not valid: " + *mal;
  } else if (!(momento = momentoDeFirma(cms.get())) || *momento > ahora + kMargenDeReloj) {
    n.problema = "the notarisation ticket bears no believable date";
  } else {
    n.problema.clear();
    n.momento = *momento;
    n.raiz.reset(sk_X509_value(cadena, sk_X509_num(cadena) - 1));
    X509_up_ref(n.raiz.get());
  }
  sk_X509_pop_free(cadena, X509_free);
  return n;
}

std::optional<std::string> FirmaDeCodigoLinux::verificarCadena(X509* hoja,
                                                               STACK_OF(X509) * intermedios,
                                                               std::time_t momento,
                                                               STACK_OF(X509) * *cadena) const {
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> almacen(X509_STORE_new(),
                                                                  X509_STORE_free);
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(),
                                                                      X509_STORE_CTX_free);
  if (!almacen || !ctx) return std::string("out of memory");
  for (X509* r : raices_) X509_STORE_add_cert(almacen.get(), r);
  if (X509_STORE_CTX_init(ctx.get(), almacen.get(), hoja, intermedios) != 1)
    return std::string("out of memory");
  X509_VERIFY_PARAM* p = X509_STORE_CTX_get0_param(ctx.get());
  X509_VERIFY_PARAM_set_time(p, momento);
  X509_VERIFY_PARAM_set_depth(p, kCadenaMaxima);
  X509_VERIFY_PARAM_set_auth_level(p, 2);
  X509_VERIFY_PARAM_set_flags(p, X509_V_FLAG_X509_STRICT);
  int bien = X509_verify_cert(ctx.get());
  ERR_clear_error();
  if (bien != 1) {
    X509* donde = X509_STORE_CTX_get_current_cert(ctx.get());
    return std::string(X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()))) +
           (donde ? " (" + nombreDeCertificado(donde) + ")" : std::string());
  }
  *cadena = X509_STORE_CTX_get1_chain(ctx.get());
  if (!*cadena || sk_X509_num(*cadena) < 1) return std::string("no chain was built");
  return std::nullopt;
}

}  // namespace ovelmar
