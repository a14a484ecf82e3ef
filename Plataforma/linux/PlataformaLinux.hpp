#pragma once
// The real Linux backend of every port, owned in one place. The bundle makes one per
// process; tests make their own and may swap single ports for doubles.

#include <memory>
#include <string_view>

#include "Plataforma/Plataforma.hpp"

namespace ovelmar {

class AdministradorLinux;
class AlertasLinux;
class AplicacionLinux;
class AplicacionesLinux;
class ArchivosLinux;
class CargaDinamicaLinux;
class CarpetasLinux;
class ColaGlobalLinux;
class ColaPrincipalLinux;
class CriptografiaLinux;
class EntornoLinux;
class FirmaDeCodigoLinux;
class IdiomasLinux;
class PanelesLinux;
class PaquetePrincipalLinux;
class PreferenciasLinux;
class ProcesosLinux;
class PropiedadesLinux;
class RedLinux;
class RegistroLinux;
class RelojLinux;
class TextosLinux;
class UrlsLinux;

class PlataformaLinux {
 public:
  // Code signatures are checked against the trust root built in.
  PlataformaLinux();
  // ...or against this one (PEM text): for tests and demonstrations.
  explicit PlataformaLinux(std::string_view raizDeConfianza);
  ~PlataformaLinux();
  PlataformaLinux(const PlataformaLinux&) = delete;
  PlataformaLinux& operator=(const PlataformaLinux&) = delete;

  // A fresh view of all the real ports; change members to put doubles in.
  Plataforma plataforma();

  ProcesosLinux& procesos() { return *procesos_; }
  AplicacionLinux& aplicacion() { return *aplicacion_; }
  RedLinux& red() { return *red_; }

 private:
  std::unique_ptr<PropiedadesLinux> propiedades_;
  std::unique_ptr<PaquetePrincipalLinux> paquete_;
  std::unique_ptr<IdiomasLinux> idiomas_;
  std::unique_ptr<EntornoLinux> entorno_;
  std::unique_ptr<ColaPrincipalLinux> colaPrincipal_;
  std::unique_ptr<ColaGlobalLinux> colaGlobal_;
  std::unique_ptr<RelojLinux> reloj_;
  std::unique_ptr<ArchivosLinux> archivos_;
  std::unique_ptr<CarpetasLinux> carpetas_;
  std::unique_ptr<ProcesosLinux> procesos_;
  std::unique_ptr<AplicacionesLinux> aplicaciones_;
  std::unique_ptr<AplicacionLinux> aplicacion_;
  std::unique_ptr<AlertasLinux> alertas_;
  std::unique_ptr<PanelesLinux> paneles_;
  std::unique_ptr<AdministradorLinux> administrador_;
  std::unique_ptr<RegistroLinux> registro_;
  std::unique_ptr<PreferenciasLinux> preferencias_;
  std::unique_ptr<Notificaciones> notificaciones_;
  std::unique_ptr<RedLinux> red_;
  std::unique_ptr<CargaDinamicaLinux> cargaDinamica_;
  std::unique_ptr<TextosLinux> textos_;
  std::unique_ptr<UrlsLinux> urls_;
  std::unique_ptr<CriptografiaLinux> criptografia_;
  std::unique_ptr<FirmaDeCodigoLinux> firma_;
};

}  // namespace ovelmar
