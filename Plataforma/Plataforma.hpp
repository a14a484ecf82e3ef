#pragma once
// Every platform service the component calls, one port each. The bundle wires them to
// the Linux backend (linux/PlataformaLinux.hpp); tests wire doubles. The pointers do not
// own: whoever builds a Plataforma keeps the services alive.

#include "Administrador.hpp"
#include "Alertas.hpp"
#include "Aplicacion.hpp"
#include "Aplicaciones.hpp"
#include "Archivos.hpp"
#include "CargaDinamica.hpp"
#include "Carpetas.hpp"
#include "ColaGlobal.hpp"
#include "ColaPrincipal.hpp"
#include "Criptografia.hpp"
#include "Entorno.hpp"
#include "Error.hpp"
#include "FirmaDeCodigo.hpp"
#include "Idiomas.hpp"
#include "Notificaciones.hpp"
#include "Paneles.hpp"
#include "PaquetePrincipal.hpp"
#include "Preferencias.hpp"
#include "Procesos.hpp"
#include "Propiedades.hpp"
#include "Red.hpp"
#include "Registro.hpp"
#include "Reloj.hpp"
#include "Textos.hpp"
#include "Urls.hpp"
#include "Valor.hpp"

namespace ovelmar {

struct Plataforma {
  PaquetePrincipal* paquete = nullptr;
  Idiomas* idiomas = nullptr;
  Entorno* entorno = nullptr;
  ColaPrincipal* colaPrincipal = nullptr;
  ColaGlobal* colaGlobal = nullptr;
  Reloj* reloj = nullptr;
  Archivos* archivos = nullptr;
  Carpetas* carpetas = nullptr;
  Propiedades* propiedades = nullptr;
  Procesos* procesos = nullptr;
  Aplicaciones* aplicaciones = nullptr;
  Aplicacion* aplicacion = nullptr;
  Alertas* alertas = nullptr;
  Paneles* paneles = nullptr;
  Administrador* administrador = nullptr;
  Registro* registro = nullptr;
  Preferencias* preferencias = nullptr;
  Notificaciones* notificaciones = nullptr;
  Red* red = nullptr;
  CargaDinamica* cargaDinamica = nullptr;
  Textos* textos = nullptr;
  Urls* urls = nullptr;
  Criptografia* criptografia = nullptr;
  FirmaDeCodigo* firma = nullptr;
};

}  // namespace ovelmar
