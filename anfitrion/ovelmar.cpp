// The bundle's side of the C interface: the process-wide component, the class lookup and
// the message dispatch that the Objective-C runtime provides on macOS.

#include "ovelmar.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "Ovelmar/Actualizador.hpp"
#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/Ovelmar.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/AplicacionLinux.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"

namespace ovelmar {
namespace {

// Everything one process shares. Never destroyed: detached work may still use it while
// the process ends.
struct Proceso {
  PlataformaLinux linux;
  Plataforma plataforma = linux.plataforma();
  ReglasDeActualizacion reglas{plataforma};
  Instalador instalador{plataforma, reglas};
  Actualizador actualizador{plataforma, reglas, instalador};
};

Proceso& proceso() {
  static Proceso* p = new Proceso();
  return *p;
}

struct Clase {
  const char* nombre;
};
Clase claseOvelmar{"Ovelmar"};

struct Instancia {
  static constexpr std::uint32_t kMarca = 0x4f56454c;  // tells a live instance apart
  std::uint32_t marca = kMarca;
  Ovelmar objeto;
};

char* copiar(const std::string& texto) {
  char* r = static_cast<char*>(std::malloc(texto.size() + 1));
  if (r) std::memcpy(r, texto.c_str(), texto.size() + 1);
  return r;
}

Diccionario diccionarioDe(const char* xml) {
  if (!xml) return {};
  std::optional<Valor> v = proceso().plataforma.propiedades->leer(std::string_view(xml));
  if (!v || !v->diccionario()) return {};
  return *v->diccionario();
}

using Metodo = std::function<std::optional<Valor>(Ovelmar&, const Diccionario&)>;

const std::map<std::string, Metodo, std::less<>>& metodos() {
  static const std::map<std::string, Metodo, std::less<>> tabla{
      {"instalarSiHaceFalta",
       [](Ovelmar& o, const Diccionario&) { return Valor(o.instalarSiHaceFalta()); }},
      {"puedeActualizarse",
       [](Ovelmar& o, const Diccionario&) { return Valor(o.puedeActualizarse()); }},
      {"estadoDeLaActualizacion",
       [](Ovelmar& o, const Diccionario&) { return Valor(o.estadoDeLaActualizacion()); }},
      {"actualizar:", [](Ovelmar& o, const Diccionario& d) { return Valor(o.actualizar(d)); }},
      {"ultimaActualizacion",
       [](Ovelmar& o, const Diccionario&) { return Valor(o.ultimaActualizacion()); }},
      {"firmaPropia", [](Ovelmar& o, const Diccionario&) { return Valor(o.firmaPropia()); }},
      {"mostrar:",
       [](Ovelmar& o, const Diccionario& d) -> std::optional<Valor> {
         o.mostrar(d);
         return std::nullopt;
       }},
      {"cerrar",
       [](Ovelmar& o, const Diccionario&) -> std::optional<Valor> {
         o.cerrar();
         return std::nullopt;
       }},
  };
  return tabla;
}

}  // namespace
}  // namespace ovelmar

using namespace ovelmar;

extern "C" {

void* ov_clase(const char* nombre) {
  if (nombre && std::strcmp(nombre, claseOvelmar.nombre) == 0) return &claseOvelmar;
  return nullptr;
}

void* ov_crear(void* clase) {
  if (clase != &claseOvelmar) return nullptr;
  Proceso& p = proceso();
  return new Instancia{Instancia::kMarca, Ovelmar(p.plataforma, p.instalador, p.actualizador)};
}

char* ov_enviar(void* objeto, const char* selector, const char* argumento) {
  auto* instancia = static_cast<Instancia*>(objeto);
  if (!instancia || !selector || instancia->marca != Instancia::kMarca) return nullptr;
  auto it = metodos().find(std::string_view(selector));
  if (it == metodos().end()) return nullptr;
  std::optional<Valor> respuesta = it->second(instancia->objeto, diccionarioDe(argumento));
  if (!respuesta) return nullptr;
  return copiar(proceso().plataforma.propiedades->escribirXml(*respuesta));
}

void ov_liberar(char* texto) {
  std::free(texto);
}

void ov_soltar(void* objeto) {
  auto* instancia = static_cast<Instancia*>(objeto);
  if (!instancia || instancia->marca != Instancia::kMarca) return;
  instancia->marca = 0;
  delete instancia;
}

unsigned long ov_observar(const char* nombre, void (*funcion)(const char*, void*), void* contexto) {
  if (!nombre || !funcion) return 0;
  Plataforma& p = proceso().plataforma;
  return static_cast<unsigned long>(
      p.notificaciones->observar(nombre, [&p, funcion, contexto](const Diccionario& informacion) {
        std::string xml = p.propiedades->escribirXml(Valor(informacion));
        funcion(xml.c_str(), contexto);
      }));
}

void ov_dejar_de_observar(unsigned long token) {
  proceso().plataforma.notificaciones->dejarDeObservar(token);
}

void ov_establecer_aplicacion(void (*activar)(void*), void (*terminar)(void*), void* contexto) {
  proceso().linux.aplicacion().registrar(activar, terminar, contexto);
}

void ov_ejecutar_bucle(double segundos) {
  // Run anywhere else, the main queue's work would race with the main thread.
  ColaPrincipal& cola = *proceso().plataforma.colaPrincipal;
  exigirHiloPrincipal(cola, "ov_ejecutar_bucle");
  cola.correrDurante(segundos);
}

}  // extern "C"
