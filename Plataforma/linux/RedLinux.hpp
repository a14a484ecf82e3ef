#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "Plataforma/ColaPrincipal.hpp"
#include "Plataforma/Propiedades.hpp"
#include "Plataforma/Red.hpp"

namespace ovelmar {

namespace detalleRed {
struct Hilos;
}

// libcurl, one worker thread per task. Only HTTPS, with full certificate checks, and
// redirects only to HTTPS. Delegate calls go through the main queue and are dropped
// there once the session is invalidated or gone. Resume data is an XML property list
// of our own: URL, validators, bytes so far and the partial file. A transfer never waits
// for connectivity: without a network it fails at once.
class RedLinux : public Red {
 public:
  RedLinux(ColaPrincipal& cola, Propiedades& propiedades);
  // Cancels every transfer still running and waits for its thread.
  ~RedLinux() override;
  RedLinux(const RedLinux&) = delete;
  RedLinux& operator=(const RedLinux&) = delete;

  std::shared_ptr<SesionDeDescarga> crearSesion(const ConfiguracionDeSesion& configuracion,
                                                DelegadoDeDescarga& delegado) override;

  // For tests: sessions created afterwards trust only the certificate authorities in
  // this PEM file instead of the system's. Empty: the system's again.
  void confiarEn(const std::string& rutaDeCA);

 private:
  ColaPrincipal& cola_;
  Propiedades& propiedades_;
  std::mutex mutex_;
  std::string ca_;
  std::shared_ptr<detalleRed::Hilos> hilos_;
};

}  // namespace ovelmar
