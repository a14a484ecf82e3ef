#pragma once
// Code signatures checked with OpenSSL. A signed bundle holds, in
// Contents/_CodeSignature/: CodeResources (the seal, ManifiestoDeFirma.hpp), CodeSignature
// (a detached CMS signature over CodeResources with the signer's chain) and
// NotarizationTicket (a detached CMS signature over the SHA-256 of CodeResources by a
// notary: a certificate of the same trust root whose extended key usage names time
// stamping and not code signing).
//
// The developer's chain is checked at the time the notary dated a valid ticket, so that a
// notarised release outlives its signing certificate; without such a ticket, at the
// current time. The notary's own chain is always checked at the current time.

#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ManifiestoDeFirma.hpp"
#include "Plataforma/FirmaDeCodigo.hpp"

namespace ovelmar {

class FirmaDeCodigoLinux : public FirmaDeCodigo {
 public:
  // Trusts the certificates in `raizPem` and nothing else; empty text trusts nothing.
  explicit FirmaDeCodigoLinux(std::string_view raizPem);
  ~FirmaDeCodigoLinux() override;

  std::int32_t crearCodigoEstatico(const std::string& ruta, std::uint32_t banderas,
                                   std::unique_ptr<CodigoEstatico>& codigo) override;
  std::int32_t crearRequisito(const std::string& texto, std::uint32_t banderas,
                              std::unique_ptr<RequisitoDeCodigo>& requisito) override;
  std::int32_t comprobarValidez(const CodigoEstatico& codigo, std::uint32_t banderas,
                                const RequisitoDeCodigo* requisito,
                                std::optional<std::string>& error) override;
  std::optional<ContenidoSellado> contenidoSellado(const std::string& paquete) override;

  struct Fallo {
    std::int32_t estado;
    std::string descripcion;
  };
  struct Notarizacion;
  struct Validado;

 private:
  std::optional<Fallo> validarPaquete(int carpeta, std::uint32_t banderas, int profundidad,
                                      const Sha256* selloEsperado, std::time_t momento,
                                      X509* raizExigida, X509* firmanteExigido,
                                      Notarizacion* notarizacion, Validado& validado) const;
  Notarizacion leerTicket(int carpeta, const Sha256& recursos, std::time_t ahora) const;
  std::optional<std::string> verificarCadena(X509* hoja, STACK_OF(X509) * intermedios,
                                             std::time_t momento, STACK_OF(X509) * *cadena) const;

  std::vector<X509*> raices_;
  std::string sinRaiz_;  // why nothing can be validated; empty when a root is trusted
};

}  // namespace ovelmar
