#pragma once
// Doubles for the updater's ports: a download session the test drives by hand and user
// defaults in memory.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Plataforma/Plataforma.hpp"

namespace ovelmar::pruebas {

class PreferenciasEnMemoria : public Preferencias {
 public:
  std::map<std::string, Valor> valores;
  int escrituras = 0;
  std::optional<Valor> leer(const std::string& clave) override {
    auto it = valores.find(clave);
    return it == valores.end() ? std::nullopt : std::optional(it->second);
  }
  void escribir(const std::string& clave, const Valor& valor) override {
    ++escrituras;
    valores[clave] = valor;
  }
};

class TareaManual : public TareaDeDescarga {
 public:
  OpcionesDeTarea opciones;
  bool empezada = false;
  std::optional<int> estado;
  void empezar() override { empezada = true; }
  std::optional<int> respuesta() override { return estado; }
};

// A session whose callbacks the test sends, whenever it likes (also after invalidation,
// as a late report would arrive).
class SesionManual : public SesionDeDescarga, public std::enable_shared_from_this<SesionManual> {
 public:
  ConfiguracionDeSesion configuracion;
  DelegadoDeDescarga* delegado = nullptr;
  std::vector<std::shared_ptr<TareaManual>> tareas;
  int terminadas = 0, canceladas = 0;

  std::shared_ptr<TareaDeDescarga> tarea(const std::string&,
                                         const OpcionesDeTarea& opciones) override {
    tareas.push_back(std::make_shared<TareaManual>());
    tareas.back()->opciones = opciones;
    return tareas.back();
  }
  std::shared_ptr<TareaDeDescarga> tareaConReanudacion(const std::vector<std::uint8_t>&,
                                                       const std::string& url,
                                                       const OpcionesDeTarea& opciones) override {
    return tarea(url, opciones);
  }
  void terminarEInvalidar() override { ++terminadas; }
  void invalidarYCancelar() override { ++canceladas; }

  TareaManual& ultima() { return *tareas.back(); }
  // Each keeps the session alive for the length of the call, as a real one would.
  void progreso(std::int64_t total, std::int64_t esperados) {
    auto yo = shared_from_this();
    delegado->progreso(*this, ultima(), 0, total, esperados);
  }
  void terminado(int estado, const std::string& ubicacion) {
    auto yo = shared_from_this();
    ultima().estado = estado;
    delegado->terminado(*this, ultima(), ubicacion);
  }
  void completado(std::optional<ErrorDeRed> error = std::nullopt) {
    auto yo = shared_from_this();
    delegado->completado(*this, ultima(), error);
  }
};

class RedManual : public Red {
 public:
  std::vector<std::shared_ptr<SesionManual>> sesiones;
  bool sinSesiones = false;  // the system gives none
  std::shared_ptr<SesionDeDescarga> crearSesion(const ConfiguracionDeSesion& configuracion,
                                                DelegadoDeDescarga& delegado) override {
    if (sinSesiones) return nullptr;
    sesiones.push_back(std::make_shared<SesionManual>());
    sesiones.back()->configuracion = configuracion;
    sesiones.back()->delegado = &delegado;
    return sesiones.back();
  }
  SesionManual& ultima() { return *sesiones.back(); }
};

}  // namespace ovelmar::pruebas
