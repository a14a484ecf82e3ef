#pragma once
// Code requirements in the subset of the platform's language that the component writes:
//   anchor apple generic
//   identifier "…"
//   certificate <leaf | root | N>[field.<dotted OID>] exists
//   certificate <leaf | root | N>[subject.OU] = "…"
//   notarized
// joined by "and". Anything else does not compile: nothing is accepted by default.

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Plataforma/FirmaDeCodigo.hpp"

namespace ovelmar {

// What a validated signature offers the clauses.
struct HechosDeFirma {
  const std::string& identificador;
  STACK_OF(X509) * cadena;   // leaf first, root last
  bool anclada;              // the chain ends at a trust root
  std::string sinNotarizar;  // why the code is not notarised; empty when it is
};

// The subject of a certificate as one line, for descriptions.
std::string nombreDeCertificado(X509* certificado);

class RequisitoDeCodigoLinux : public RequisitoDeCodigo {
 public:
  // The status (errSecSuccess, errSecCSReqInvalid or errSecCSReqUnsupported) and, on
  // failure, one line saying where the text goes wrong.
  static std::int32_t compilar(std::string_view texto,
                               std::unique_ptr<RequisitoDeCodigoLinux>& requisito,
                               std::string& error);

  // Empty when every clause holds; otherwise the first clause that does not, and why.
  std::optional<std::string> incumplida(const HechosDeFirma& hechos) const;

 private:
  struct Clausula {
    enum class Tipo { ancla, identificador, extension, unidad, notarizado } tipo = Tipo::ancla;
    int posicion = 0;  // counted from the leaf; -1 is the root
    std::string valor;
    std::shared_ptr<ASN1_OBJECT> oid;
    std::string texto;  // as written, for descriptions
  };
  std::optional<std::string> porQueFalla(const Clausula& c, const HechosDeFirma& h) const;
  std::vector<Clausula> clausulas_;
};

}  // namespace ovelmar
