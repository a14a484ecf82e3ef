// firmar: the maker's signing tool.
//   firmar firmar    --clave KEY.pem --cadena CHAIN.pem BUNDLE   seal and sign
//   firmar notarizar --clave KEY.pem --cadena CHAIN.pem BUNDLE   staple a ticket
//   firmar verificar --raiz ROOT.pem --requisito TEXT BUNDLE     check as the component does
// The chain file holds the leaf first, then the intermediates. verificar prints
// "estado N" and the reason on one line each, and exits 0 only when the bundle is valid.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "herramientas/Firmante.hpp"

namespace {

using namespace ovelmar;

int uso() {
  std::fprintf(stderr,
               "usage: firmar firmar    --clave KEY.pem --cadena CHAIN.pem BUNDLE\n"
               "       firmar notarizar --clave KEY.pem --cadena CHAIN.pem BUNDLE\n"
               "       firmar verificar --raiz ROOT.pem --requisito TEXT BUNDLE\n");
  return 2;
}

bool leer(const std::string& ruta, std::string& texto) {
  std::ifstream f(ruta, std::ios::binary);
  std::stringstream s;
  if (!f || (f.peek() != EOF && !(s << f.rdbuf()))) {
    std::fprintf(stderr, "firmar: cannot read %s\n", ruta.c_str());
    return false;
  }
  texto = s.str();
  return true;
}

// Whether the first certificate of the chain is a notary's, as the component judges.
bool deNotario(const std::string& cadena) {
  BIO* bio = BIO_new_mem_buf(cadena.data(), static_cast<int>(cadena.size()));
  X509* c = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  std::uint32_t usos =
      c && (X509_get_extension_flags(c) & EXFLAG_XKUSAGE) ? X509_get_extended_key_usage(c) : 0;
  X509_free(c);
  return (usos & XKU_TIMESTAMP) && !(usos & XKU_CODE_SIGN);
}

int verificar(const std::string& raiz, const std::string& texto, const std::string& paquete) {
  const Veredicto v = verificarPaquete(raiz, texto, paquete);
  std::printf(
      "estado %d\n%s\n", v.estado,
      v.estado == 0 ? ("valid: " + paquete + " meets the requirement").c_str() : v.porque.c_str());
  return v.estado == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return uso();
  const std::string orden = argv[1];
  std::map<std::string, std::string> opciones;
  std::string paquete;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) == 0 && i + 1 < argc)
      opciones[a.substr(2)] = argv[++i];
    else if (paquete.empty() && a.rfind("--", 0) != 0)
      paquete = a;
    else
      return uso();
  }
  const bool firmaOrden = orden == "firmar" || orden == "notarizar";
  auto tiene = [&](const char* a, const char* b) {
    return opciones.size() == 2 && opciones.count(a) && opciones.count(b);
  };
  if (paquete.empty() || (firmaOrden ? !tiene("clave", "cadena")
                                     : orden != "verificar" || !tiene("raiz", "requisito")))
    return uso();

  if (orden == "verificar") {
    std::string raiz;
    if (!leer(opciones["raiz"], raiz)) return 1;
    return verificar(raiz, opciones["requisito"], paquete);
  }
  Credencial c;
  if (!leer(opciones["clave"], c.clave) || !leer(opciones["cadena"], c.cadena)) return 1;
  Problema p;
  if (orden == "firmar") {
    std::printf("Sealing and signing %s…\n", paquete.c_str());
    p = firmarPaquete(paquete, c, [](const std::string& linea) {
      std::printf("  %s\n", linea.c_str());
      std::fflush(stdout);
    });
  } else if (!deNotario(c.cadena)) {
    p = "this certificate is not a notary's: its extended key usage must name time stamping "
        "and not code signing";
  } else {
    p = notarizarPaquete(paquete, c);
  }
  if (p) {
    std::fprintf(stderr, "firmar: %s\n", p->c_str());
    return 1;
  }
  std::printf(orden == "firmar" ? "Signed %s.\n" : "Stapled a notarisation ticket to %s.\n",
              paquete.c_str());
  return 0;
}
