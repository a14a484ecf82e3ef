// The archive's Ed25519 signature, checked between the digest and the unpacking: real
// OpenSSL keys made here, files and tools as doubles.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <span>
#include <variant>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/CriptografiaLinux.hpp"
#include "Plataforma/linux/UrlsLinux.hpp"
#include "comun/DoblesActualizador.hpp"
#include "comun/DoblesInstalador.hpp"

namespace ovelmar {
namespace {

using namespace pruebas;
using Bytes = std::vector<std::uint8_t>;

std::string base64(std::span<const std::uint8_t> b) {
  std::string r(4 * ((b.size() + 2) / 3), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(r.data()), b.data(), static_cast<int>(b.size()));
  return r;
}

Bytes sha256(const std::string& texto) {
  Bytes r(32);
  SHA256(reinterpret_cast<const unsigned char*>(texto.data()), texto.size(), r.data());
  return r;
}

struct Llave {
  EVP_PKEY* k = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  ~Llave() { EVP_PKEY_free(k); }
  std::string publica() const {
    Bytes b(32);
    std::size_t n = b.size();
    EVP_PKEY_get_raw_public_key(k, b.data(), &n);
    return base64(b);
  }
  std::string firmar(std::span<const std::uint8_t> mensaje) const {
    Bytes f(64);
    std::size_t n = f.size();
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    EVP_DigestSignInit(c, nullptr, nullptr, nullptr, k);
    EVP_DigestSign(c, f.data(), &n, mensaje.data(), mensaje.size());
    EVP_MD_CTX_free(c);
    return base64(f);
  }
};

TEST(Base64, SoloLaFormaCanonicaSinEspacios) {
  CriptografiaLinux c;
  const std::pair<std::string, std::optional<std::string>> casos[] = {
      {"", ""},         {"YQ==", "a"}, {"YWI=", "ab"}, {"YWJj", "abc"},
      {"YR==", {}},     {"YWJ=", {}},  {"YW=j", {}},   {"YQ", {}},
      {"YQ=", {}},      {"====", {}},  {" YWJj", {}},  {"YWJj\n", {}},
      {"YW\nJj", {}},   {"YWJ-", {}},  {"YWJ_", {}},   {std::string("YW\0j", 4), {}},
      {"YQ==YQ==", {}},
  };
  for (const auto& [texto, esperado] : casos) {
    SCOPED_TRACE(texto);
    std::optional<Bytes> r = c.desdeBase64(texto);
    EXPECT_EQ(r ? std::optional<std::string>(std::string(r->begin(), r->end())) : std::nullopt,
              esperado);
  }
  const Bytes clave(32, 1), firma(64, 2);
  EXPECT_FALSE(c.verificarEd25519(std::span(clave).first(31), clave, firma));
  EXPECT_FALSE(c.verificarEd25519(clave, clave, std::span(firma).first(63)));
}

TEST(FirmaDelArchivo, SeExigeConClaveYSeDecideAntesDeDesempaquetar) {
  const std::string kZip = "/c/Foo-42.zip", kArchivo = "el archivo";
  const Llave llave, otra;
  const Bytes resumen = sha256(kArchivo);
  const std::string hex = ReglasDeActualizacion::hex(resumen), buena = llave.firmar(resumen);
  const Bytes treintaYUno(31, 7);
  const std::string sinFirma = "el pedido no trae firmaDelArchivo",
                    noEsFirma = "firmaDelArchivo no es una firma Ed25519 en base64",
                    noFirma = "firmaDelArchivo no firma este archivo con esta clave",
                    malaClave = "OvelmarClavePublica no es una clave Ed25519 en base64";
  struct Caso {
    const char* caso;
    std::optional<Valor> clave;  // in the host's Info.plist
    std::optional<Valor> firma;  // in the request
    std::string porque;          // empty: on to unpacking
  };
  const Caso casos[] = {
      {"no key, no signature", {}, {}, ""},
      {"no key: the signature is not read", {}, "basura", ""},
      {"signed", llave.publica(), buena, ""},
      {"no signature", llave.publica(), {}, sinFirma},
      {"another archive", llave.publica(), llave.firmar(sha256("otro")), noFirma},
      {"another key", llave.publica(), otra.firmar(resumen), noFirma},
      {"the hex digest signed", llave.publica(),
       llave.firmar(std::span(reinterpret_cast<const std::uint8_t*>(hex.data()), hex.size())),
       noFirma},
      {"not base64", llave.publica(), std::string(88, '!'), noEsFirma},
      {"one character short", llave.publica(), buena.substr(1), noEsFirma},
      {"not a text", llave.publica(), Valor(Datos{Bytes(64, 1)}), noEsFirma},
      {"too long for a request", llave.publica(), std::string(4000, 'A'), noEsFirma},
      {"key not a text", Valor(7), buena, malaClave},
      {"key of 31 bytes", base64(treintaYUno), buena, malaClave},
      {"key with a line break", llave.publica() + "\n", buena, malaClave},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Bitacora bitacora;
    ArchivosFalsos archivos{bitacora};
    ProcesosFalsos procesos{bitacora};
    RegistroEnMemoria registro;
    CriptografiaLinux cripto;
    UrlsLinux urls;
    PaqueteFijo paquete;
    FirmaFija firma;
    Plataforma p{.paquete = &paquete,
                 .archivos = &archivos,
                 .procesos = &procesos,
                 .registro = &registro,
                 .urls = &urls,
                 .criptografia = &cripto,
                 .firma = &firma};
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}};
    if (c.clave) (*paquete.infoFija)["OvelmarClavePublica"] = *c.clave;
    archivos.items[kZip] = kArchivo;
    Diccionario d{{"url", "https://ej.com/Foo-42.zip"},
                  {"sha256", hex},
                  {"build", 42},
                  {"tamano", static_cast<std::int64_t>(kArchivo.size())}};
    if (c.firma) d["firmaDelArchivo"] = *c.firma;
    ReglasDeActualizacion reglas(p);
    const std::optional<Pedido> pedido = reglas.leerPedido(d);
    ASSERT_TRUE(pedido);

    const Actualizador::Verificacion v = Actualizador::comprobar(p, reglas, kZip, *pedido, "/c", 1);
    // Nothing is touched before the verdict: not even the old unpack folder is removed.
    EXPECT_EQ(bitacora.empty(), !c.porque.empty());
    if (c.porque.empty()) continue;  // the empty unpack folder then fails the candidate check
    ASSERT_TRUE(std::holds_alternative<Fallo>(v));
    EXPECT_EQ(std::get<Fallo>(v).motivo, "firma");
    EXPECT_EQ(registro.lineas,
              std::vector<std::string>{"[actualización] firma del archivo rechazada: " + c.porque});
  }
}

}  // namespace
}  // namespace ovelmar
