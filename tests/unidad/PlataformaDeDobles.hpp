#pragma once
// Every port the installer and the updater use, as doubles, wired into one Plataforma;
// the text, URL and property-list services are the real ones.

#include "Plataforma/Notificaciones.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "Plataforma/linux/TextosLinux.hpp"
#include "Plataforma/linux/UrlsLinux.hpp"
#include "comun/DoblesActualizador.hpp"
#include "comun/DoblesInstalador.hpp"

namespace ovelmar::pruebas {

struct PlataformaDeDobles {
  Bitacora bitacora;
  IdiomasFijos idiomas;
  EntornoFijo entorno;
  PaqueteFijo paquete;
  CarpetasFijas carpetas;
  RelojManual reloj;
  ColaManual cola{reloj};
  ColaGlobalManual global;
  ArchivosFalsos archivos{bitacora};
  AplicacionesFalsas aplicaciones{bitacora, reloj};
  AlertasGuionadas alertas{bitacora};
  AdministradorFalso administrador{bitacora};
  AplicacionFalsa aplicacion{bitacora};
  ProcesosFalsos procesos{bitacora};
  PreferenciasEnMemoria preferencias;
  RegistroEnMemoria registro;
  Notificaciones notificaciones;
  RedManual red;
  CargaDinamicaFalsa carga;
  PropiedadesLinux propiedades;
  TextosLinux textos;
  UrlsLinux urls;
  Plataforma p{.paquete = &paquete,
               .idiomas = &idiomas,
               .entorno = &entorno,
               .colaPrincipal = &cola,
               .colaGlobal = &global,
               .reloj = &reloj,
               .archivos = &archivos,
               .carpetas = &carpetas,
               .propiedades = &propiedades,
               .procesos = &procesos,
               .aplicaciones = &aplicaciones,
               .aplicacion = &aplicacion,
               .alertas = &alertas,
               .administrador = &administrador,
               .registro = &registro,
               .preferencias = &preferencias,
               .notificaciones = &notificaciones,
               .red = &red,
               .cargaDinamica = &carga,
               .textos = &textos,
               .urls = &urls};
};

}  // namespace ovelmar::pruebas
