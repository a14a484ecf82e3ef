#include "PlataformaLinux.hpp"

#include "AdministradorLinux.hpp"
#include "AlertasLinux.hpp"
#include "AplicacionLinux.hpp"
#include "AplicacionesLinux.hpp"
#include "ArchivosLinux.hpp"
#include "CargaDinamicaLinux.hpp"
#include "CarpetasLinux.hpp"
#include "ColaGlobalLinux.hpp"
#include "ColaPrincipalLinux.hpp"
#include "CriptografiaLinux.hpp"
#include "EntornoLinux.hpp"
#include "FirmaDeCodigoLinux.hpp"
#include "IdiomasLinux.hpp"
#include "PanelesLinux.hpp"
#include "PaquetePrincipalLinux.hpp"
#include "PreferenciasLinux.hpp"
#include "ProcesosLinux.hpp"
#include "PropiedadesLinux.hpp"
#include "RaizDeConfianza.hpp"
#include "RedLinux.hpp"
#include "RegistroLinux.hpp"
#include "RelojLinux.hpp"
#include "TextosLinux.hpp"
#include "UrlsLinux.hpp"

namespace ovelmar {

PlataformaLinux::PlataformaLinux() : PlataformaLinux(raizDeConfianzaIncorporada()) {}

PlataformaLinux::PlataformaLinux(std::string_view raizDeConfianza)
    : propiedades_(std::make_unique<PropiedadesLinux>()),
      paquete_(std::make_unique<PaquetePrincipalLinux>(*propiedades_)),
      idiomas_(std::make_unique<IdiomasLinux>()),
      entorno_(std::make_unique<EntornoLinux>()),
      colaPrincipal_(std::make_unique<ColaPrincipalLinux>()),
      colaGlobal_(std::make_unique<ColaGlobalLinux>()),
      reloj_(std::make_unique<RelojLinux>()),
      archivos_(std::make_unique<ArchivosLinux>()),
      carpetas_(std::make_unique<CarpetasLinux>()),
      procesos_(std::make_unique<ProcesosLinux>()),
      aplicaciones_(std::make_unique<AplicacionesLinux>(*propiedades_, *procesos_)),
      aplicacion_(std::make_unique<AplicacionLinux>(*colaPrincipal_)),
      alertas_(std::make_unique<AlertasLinux>()),
      paneles_(std::make_unique<PanelesLinux>()),
      administrador_(std::make_unique<AdministradorLinux>(*procesos_)),
      notificaciones_(std::make_unique<Notificaciones>()),
      red_(std::make_unique<RedLinux>(*colaPrincipal_, *propiedades_)),
      cargaDinamica_(std::make_unique<CargaDinamicaLinux>()),
      textos_(std::make_unique<TextosLinux>()),
      urls_(std::make_unique<UrlsLinux>()),
      criptografia_(std::make_unique<CriptografiaLinux>()),
      firma_(std::make_unique<FirmaDeCodigoLinux>(raizDeConfianza)) {
  std::optional<Diccionario> info = paquete_->info();
  const std::string* id = info ? textoDe(*info, "CFBundleIdentifier") : nullptr;
  registro_ = std::make_unique<RegistroLinux>(id ? *id : std::string());
  preferencias_ =
      std::make_unique<PreferenciasLinux>(*propiedades_, *archivos_, id ? *id : std::string());
}

PlataformaLinux::~PlataformaLinux() = default;

Plataforma PlataformaLinux::plataforma() {
  Plataforma p;
  p.paquete = paquete_.get();
  p.idiomas = idiomas_.get();
  p.entorno = entorno_.get();
  p.colaPrincipal = colaPrincipal_.get();
  p.colaGlobal = colaGlobal_.get();
  p.reloj = reloj_.get();
  p.archivos = archivos_.get();
  p.carpetas = carpetas_.get();
  p.propiedades = propiedades_.get();
  p.procesos = procesos_.get();
  p.aplicaciones = aplicaciones_.get();
  p.aplicacion = aplicacion_.get();
  p.alertas = alertas_.get();
  p.paneles = paneles_.get();
  p.administrador = administrador_.get();
  p.registro = registro_.get();
  p.preferencias = preferencias_.get();
  p.notificaciones = notificaciones_.get();
  p.red = red_.get();
  p.cargaDinamica = cargaDinamica_.get();
  p.textos = textos_.get();
  p.urls = urls_.get();
  p.criptografia = criptografia_.get();
  p.firma = firma_.get();
  return p;
}

}  // namespace ovelmar
