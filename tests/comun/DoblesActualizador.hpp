#pragma once
// Doubles for the updater's ports: a download session the test drives by hand, user
// defaults and a file system in memory.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Ovelmar/Rutas.hpp"
#include "Plataforma/Plataforma.hpp"

namespace ovelmar::pruebas {

class PreferenciasEnMemoria : public Preferencias {
 public:
  std::map<std::string, Valor> valores;
  int escrituras = 0;
  std::optional<Valor> leer(const std::string& clave) override {
    auto it = valores.find(clave);
    if (it == valores.end()) return std::nullopt;
    return it->second;
  }
  void escribir(const std::string& clave, const Valor& valor) override {
    ++escrituras;
    valores[clave] = valor;
  }
};

// Files (path -> bytes) and folders, with absolute paths. `enlaces` maps a folder that
// is a symbolic link to the folder it points to.
class ArchivosEnMemoria : public Archivos {
 public:
  std::map<std::string, std::vector<std::uint8_t>> archivos;
  std::set<std::string> carpetas{"/"};
  std::map<std::string, std::string> enlaces;

  void poner(const std::string& ruta, const std::string& contenido) {
    crearCarpetas(rutas::padre(ruta));
    archivos[ruta] = std::vector<std::uint8_t>(contenido.begin(), contenido.end());
  }
  std::optional<std::string> contenido(const std::string& ruta) const {
    auto it = archivos.find(ruta);
    if (it == archivos.end()) return std::nullopt;
    return std::string(it->second.begin(), it->second.end());
  }

  bool existe(const std::string& r) override { return archivos.count(r) || carpetas.count(r); }
  bool escribible(const std::string&) override { return true; }
  std::optional<std::uint32_t> dueno(const std::string&) override { return std::nullopt; }
  std::optional<bool> soloLectura(const std::string&) override { return std::nullopt; }
  std::string resolverEnlaces(const std::string& ruta) override {
    std::string r = rutas::estandarizar(ruta);
    for (int vueltas = 0; vueltas < 16; ++vueltas) {
      bool cambio = false;
      for (const auto& [enlace, destino] : enlaces) {
        if (r == enlace || rutas::empiezaPor(r, enlace + "/")) {
          r = rutas::estandarizar(destino + r.substr(enlace.size()));
          cambio = true;
          break;
        }
      }
      if (!cambio) break;
    }
    return r;
  }
  Resultado crearCarpetas(const std::string& ruta) override {
    if (carpetas.count(ruta)) return Error{Error::dominioPosix, 17, "exists"};
    for (std::string r = ruta; r != "/" && !r.empty(); r = rutas::padre(r)) carpetas.insert(r);
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> listar(const std::string& ruta) override {
    if (!carpetas.count(ruta)) return std::nullopt;
    std::vector<std::string> nombres;
    auto agregar = [&](const std::string& r) {
      if (r != ruta && rutas::padre(r) == ruta) nombres.push_back(r.substr(ruta.size() + 1));
    };
    for (const auto& [r, bytes] : archivos) agregar(r);
    for (const std::string& r : carpetas) agregar(r);
    return nombres;
  }
  Resultado eliminar(const std::string& ruta) override {
    bool habia = archivos.erase(ruta) + carpetas.erase(ruta) > 0;
    std::erase_if(archivos, [&](const auto& e) { return rutas::empiezaPor(e.first, ruta + "/"); });
    std::erase_if(carpetas, [&](const auto& e) { return rutas::empiezaPor(e, ruta + "/"); });
    if (!habia) return Error{Error::dominioPosix, 2, "missing"};
    return std::nullopt;
  }
  Resultado mover(const std::string& de, const std::string& a) override {
    auto it = archivos.find(de);
    if (it == archivos.end() || existe(a) || !carpetas.count(rutas::padre(a)))
      return Error{Error::dominioPosix, 2, "cannot move"};
    archivos[a] = std::move(it->second);
    archivos.erase(de);
    return std::nullopt;
  }
  Resultado copiar(const std::string&, const std::string&) override { return noUsado(); }
  Resultado reemplazar(const std::string&, const std::string&) override { return noUsado(); }
  Resultado papelera(const std::string&) override { return noUsado(); }
  std::optional<std::int64_t> tamano(const std::string& ruta) override {
    auto it = archivos.find(ruta);
    if (it == archivos.end()) return std::nullopt;
    return static_cast<std::int64_t>(it->second.size());
  }
  std::optional<std::vector<std::uint8_t>> leer(const std::string& ruta) override {
    auto it = archivos.find(ruta);
    if (it == archivos.end()) return std::nullopt;
    return it->second;
  }
  Resultado escribirAtomico(const std::string& ruta,
                            const std::vector<std::uint8_t>& bytes) override {
    if (!carpetas.count(rutas::padre(ruta))) return Error{Error::dominioPosix, 2, "no folder"};
    archivos[ruta] = bytes;
    return std::nullopt;
  }

 private:
  static Resultado noUsado() { return Error{Error::dominioPosix, 38, "not in this double"}; }
};

class TareaManual : public TareaDeDescarga {
 public:
  std::string url;
  std::optional<std::vector<std::uint8_t>> reanudacion;
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
  bool reanudacionRechazada = false;  // tareaConReanudacion answers null
  int terminadas = 0;
  int canceladas = 0;

  std::shared_ptr<TareaDeDescarga> tarea(const std::string& url,
                                         const OpcionesDeTarea& opciones) override {
    auto t = std::make_shared<TareaManual>();
    t->url = url;
    t->opciones = opciones;
    tareas.push_back(t);
    return t;
  }
  std::shared_ptr<TareaDeDescarga> tareaConReanudacion(const std::vector<std::uint8_t>& datos,
                                                       const std::string& url,
                                                       const OpcionesDeTarea& opciones) override {
    if (reanudacionRechazada) return nullptr;
    auto t = std::static_pointer_cast<TareaManual>(tarea(url, opciones));
    t->reanudacion = datos;
    return t;
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
  bool sinSesion = false;
  bool reanudacionRechazada = false;  // for the sessions made afterwards
  std::shared_ptr<SesionDeDescarga> crearSesion(const ConfiguracionDeSesion& configuracion,
                                                DelegadoDeDescarga& delegado) override {
    if (sinSesion) return nullptr;
    auto s = std::make_shared<SesionManual>();
    s->reanudacionRechazada = reanudacionRechazada;
    s->configuracion = configuracion;
    s->delegado = &delegado;
    sesiones.push_back(s);
    return s;
  }
  SesionManual& ultima() { return *sesiones.back(); }
};

}  // namespace ovelmar::pruebas
