#include "AutoridadDePrueba.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>
#include <utility>
#include <vector>

namespace ovelmar::pruebas {

namespace {

constexpr long kDia = 24 * 3600;

struct Par {
  std::shared_ptr<EVP_PKEY> clave;
  std::shared_ptr<X509> cert;
};

using Extensiones = std::vector<std::pair<const char*, const char*>>;

const Extensiones kCa = {{"basicConstraints", "critical,CA:true"},
                         {"keyUsage", "critical,keyCertSign,cRLSign"},
                         {"subjectKeyIdentifier", "hash"}};

// A certificate for a new key, issued by `emisor` (itself when null).
Par emitir(const std::string& cn, const std::string& ou, const Par* emisor, Extensiones ext,
           long desde = -kDia, long hasta = 30 * kDia) {
  static std::atomic<long> serie{1};
  Par p{std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), EVP_PKEY_free),
        std::shared_ptr<X509>(X509_new(), X509_free)};
  X509* c = p.cert.get();
  if (!p.clave || !c) throw std::runtime_error("OpenSSL");
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), serie++);
  X509_gmtime_adj(X509_getm_notBefore(c), desde);
  X509_gmtime_adj(X509_getm_notAfter(c), hasta);
  X509_set_pubkey(c, p.clave.get());
  X509_NAME* nombre = X509_get_subject_name(c);
  auto poner = [&](const char* campo, const std::string& valor) {
    X509_NAME_add_entry_by_txt(nombre, campo, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(valor.c_str()), -1, -1, 0);
  };
  poner("O", "Autoridad de prueba");
  if (!ou.empty()) poner("OU", ou);
  poner("CN", cn);
  X509* firmante = emisor ? emisor->cert.get() : c;
  X509_set_issuer_name(c, X509_get_subject_name(firmante));
  if (emisor) ext.emplace_back("authorityKeyIdentifier", "keyid");
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, firmante, c, nullptr, nullptr, 0);
  for (const auto& [campo, valor] : ext) {
    X509_EXTENSION* e = X509V3_EXT_nconf(nullptr, &ctx, campo, valor);
    if (!e) throw std::runtime_error(std::string("extension ") + campo);
    X509_add_ext(c, e, -1);
    X509_EXTENSION_free(e);
  }
  X509_sign(c, emisor ? emisor->clave.get() : p.clave.get(), EVP_sha256());
  return p;
}

// What a memory BIO holds, freeing it. The length is read first, in a statement of its own:
// as one argument beside the pointer it fills, the order would be the compiler's.
std::string vaciar(BIO* b) {
  char* datos = nullptr;
  const long largo = BIO_get_mem_data(b, &datos);
  std::string t(datos, static_cast<std::size_t>(largo));
  BIO_free(b);
  return t;
}

std::string pem(X509* c) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(b, c);
  return vaciar(b);
}

Credencial credencial(const Par& hoja, const Par* intermedia) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(b, hoja.clave.get(), nullptr, nullptr, 0, nullptr, nullptr);
  Credencial c{vaciar(b), pem(hoja.cert.get())};
  if (intermedia) c.cadena += pem(intermedia->cert.get());
  return c;
}

Par intermediaBajo(const Par& raiz) {
  Extensiones ext = kCa;
  ext.emplace_back("1.2.840.113635.100.6.2.6", "ASN1:NULL");
  return emitir("Developer ID Certification Authority", "", &raiz, ext);
}

}  // namespace

struct AutoridadDePrueba::Certificados {
  Par raiz = emitir("Raiz de prueba", "", nullptr, kCa, -kDia, 3650 * kDia);
  Par intermedia = intermediaBajo(raiz);
  Par otraRaiz = emitir("Otra raiz", "", nullptr, kCa, -kDia, 3650 * kDia);
  Par otraIntermedia = intermediaBajo(otraRaiz);
};

AutoridadDePrueba::AutoridadDePrueba() : c_(std::make_unique<Certificados>()) {
  raiz_ = pem(c_->raiz.cert.get());
  Par notario = emitir("Notario de prueba", "", &c_->raiz,
                       {{"keyUsage", "critical,digitalSignature"},
                        {"extendedKeyUsage", "critical,timeStamping"},
                        {"subjectKeyIdentifier", "hash"}});
  notario_ = credencial(notario, nullptr);
}

AutoridadDePrueba::~AutoridadDePrueba() = default;

const AutoridadDePrueba& AutoridadDePrueba::compartida() {
  static const AutoridadDePrueba* a = new AutoridadDePrueba();
  return *a;
}

Credencial AutoridadDePrueba::desarrollador(const std::string& equipo, Variante v) const {
  Extensiones ext = {{"basicConstraints", "critical,CA:false"},
                     {"keyUsage", "critical,digitalSignature"},
                     {"extendedKeyUsage", "critical,codeSigning"},
                     {"subjectKeyIdentifier", "hash"}};
  if (v != Variante::sinExtensionDeHoja) ext.emplace_back("1.2.840.113635.100.6.1.13", "ASN1:NULL");
  const Par& intermedia = v == Variante::otraRaiz ? c_->otraIntermedia : c_->intermedia;
  const bool caducada = v == Variante::caducada;
  Par hoja = emitir("Developer ID Application: " + equipo, equipo, &intermedia, ext,
                    caducada ? -2 * kDia : -kDia, caducada ? -kDia : 30 * kDia);
  return credencial(hoja, &intermedia);
}

std::string AutoridadDePrueba::firmarYNotarizar(const std::filesystem::path& paquete,
                                                const std::string& equipo) const {
  Problema p = firmarPaquete(paquete.string(), desarrollador(equipo));
  if (!p) p = notarizarPaquete(paquete.string(), notario_);
  return p.value_or("");
}

}  // namespace ovelmar::pruebas
