#pragma once
// Signing and notarising bundles in the form the component checks
// (Plataforma/linux/FirmaDeCodigoLinux.hpp). The maker's side: used by the `firmar` tool
// and by tests, never shipped inside the component's bundle.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ovelmar {

// A signing identity: its private key and its certificate chain, leaf first (PEM texts).
struct Credencial {
  std::string clave;
  std::string cadena;
};

// What went wrong, in plain words for the person signing; empty on success.
using Problema = std::optional<std::string>;
using Avance = std::function<void(const std::string&)>;

// Seals every item of the bundle and signs the seal, nested bundles first (any folder
// below it with a Contents/Info.plist is a nested bundle). A ticket stapled earlier no
// longer covers the new seal and is removed. `avance` hears one line per bundle signed.
Problema firmarPaquete(const std::string& paquete, const Credencial& firmante,
                       const Avance& avance = {});
// Signs the bundle's CodeResources as it stands, without sealing the bundle again.
Problema firmarSello(const std::string& paquete, const Credencial& firmante);
// Staples a notarisation ticket: the notary's signature over the SHA-256 of the bundle's
// CodeResources. Whoever signs it, the component counts it only from a notary: a
// certificate whose extended key usage names time stamping and not code signing.
Problema notarizarPaquete(const std::string& paquete, const Credencial& notario);

// The component's verdict on a bundle: the platform's status (0 when valid) and, when not
// valid, why. Checks as the updater does: strict, nested code, every clause of `requisito`,
// against the certificates in `raizPem` alone.
struct Veredicto {
  std::int32_t estado = 0;
  std::string porque;
};
Veredicto verificarPaquete(std::string_view raizPem, const std::string& requisito,
                           const std::string& paquete);

}  // namespace ovelmar
