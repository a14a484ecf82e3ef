#pragma once
// A throw-away code-signing authority, made in memory when a test starts: a root, a
// developer-identity intermediate (extension 1.2.840.113635.100.6.2.6) and a notary
// under it, and developer identities on demand. Hand raiz() to the platform object the
// test builds (PlataformaLinux(raiz) or FirmaDeCodigoLinux(raiz)), then sign bundles:
//
//   AutoridadDePrueba autoridad;
//   PlataformaLinux linux(autoridad.raiz());
//   ASSERT_EQ(autoridad.firmarYNotarizar(app, "QZ7K4WM2XD"), "");

#include <filesystem>
#include <memory>
#include <string>

#include "herramientas/Firmante.hpp"

namespace ovelmar::pruebas {

class AutoridadDePrueba {
 public:
  // How a developer identity departs from a good one.
  enum class Variante {
    buena,               // leaf with 1.2.840.113635.100.6.1.13, code signing, OU = team
    sinExtensionDeHoja,  // the leaf lacks 1.2.840.113635.100.6.1.13
    caducada,            // the leaf expired yesterday
    otraRaiz,            // a like chain under another root
  };

  AutoridadDePrueba();
  ~AutoridadDePrueba();
  // One for the whole test process, made on first use and never destroyed.
  static const AutoridadDePrueba& compartida();
  AutoridadDePrueba(const AutoridadDePrueba&) = delete;
  AutoridadDePrueba& operator=(const AutoridadDePrueba&) = delete;

  // The root certificate, PEM.
  const std::string& raiz() const { return raiz_; }
  // A new identity of `equipo`: key and chain (leaf, intermediate), PEM.
  Credencial desarrollador(const std::string& equipo, Variante variante = Variante::buena) const;
  const Credencial& notario() const { return notario_; }

  // Signs the bundle (nested bundles first) with a good identity of `equipo` and staples a
  // notarisation ticket: empty on success, else what went wrong.
  std::string firmarYNotarizar(const std::filesystem::path& paquete,
                               const std::string& equipo) const;

 private:
  struct Certificados;
  std::unique_ptr<Certificados> c_;
  std::string raiz_;
  Credencial notario_;
};

// The team the tests sign as, and the shared authority.
inline constexpr const char* kEquipo = "QZ7K4WM2XD";
inline const AutoridadDePrueba& autoridad() {
  return AutoridadDePrueba::compartida();
}

}  // namespace ovelmar::pruebas
