#pragma once
// Doubles of the ports the move to Applications uses. Each one writes what it does, in
// order, into one shared log, so that a test can check the whole sequence of a flow.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "Plataforma/Plataforma.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar::pruebas {

using Bitacora = std::vector<std::string>;

inline Error errorDePrueba(int numero) {
  return Error{Error::dominioPosix, numero, "prueba"};
}

// A file tree in memory: every item by path, with its contents ("" for a folder).
class ArchivosFalsos : public Archivos {
 public:
  explicit ArchivosFalsos(Bitacora& b) : b_(b) {}

  std::map<std::string, std::string> items;
  std::set<std::string> noEscribibles, imborrables;
  std::map<std::string, std::string> enlaces;   // resolverEnlaces: path -> target
  std::map<std::string, bool> soloLecturas;     // volume -> read-only
  std::map<std::string, std::uint32_t> duenos;  // absent: the test user's (501)
  std::map<std::string, Error> fallos;          // operation name -> its error

  bool existe(const std::string& r) override { return items.count(r) > 0; }
  bool escribible(const std::string& r) override { return noEscribibles.count(r) == 0; }
  std::optional<std::uint32_t> dueno(const std::string& r) override {
    if (!items.count(r)) return std::nullopt;
    return duenos.count(r) ? duenos[r] : 501u;
  }
  std::optional<bool> soloLectura(const std::string& r) override {
    return soloLecturas.count(r) ? std::optional(soloLecturas[r]) : std::nullopt;
  }
  std::string resolverEnlaces(const std::string& r) override {
    return enlaces.count(r) ? enlaces[r] : r;
  }
  Resultado crearCarpetas(const std::string& r) override {
    items[r];
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> listar(const std::string&) override {
    return std::nullopt;
  }
  Resultado eliminar(const std::string& r) override {
    if (Resultado e = operacion("eliminar", r)) return e;
    if (imborrables.count(r)) return errorDePrueba(EACCES);
    return quitar(r) ? std::nullopt : Resultado(errorDePrueba(ENOENT));
  }
  Resultado mover(const std::string& de, const std::string& a) override {
    if (Resultado e = operacion("mover", de + " " + a)) return e;
    return items.count(a) ? errorDePrueba(EEXIST) : trasladar(de, a, true);
  }
  Resultado copiar(const std::string& de, const std::string& a) override {
    if (Resultado e = operacion("copiar", de + " " + a)) return e;
    return items.count(a) ? errorDePrueba(EEXIST) : trasladar(de, a, false);
  }
  Resultado reemplazar(const std::string& d, const std::string& n) override {
    if (Resultado e = operacion("reemplazar", d + " " + n)) return e;
    if (!items.count(n) || !items.count(d)) return errorDePrueba(ENOENT);
    quitar(d);
    return trasladar(n, d, true);
  }
  Resultado papelera(const std::string& r) override {
    if (Resultado e = operacion("papelera", r)) return e;
    quitar(r);
    return std::nullopt;
  }
  std::optional<std::int64_t> tamano(const std::string& r) override {
    if (!items.count(r)) return std::nullopt;
    return static_cast<std::int64_t>(items[r].size());
  }
  std::optional<std::vector<std::uint8_t>> leer(const std::string& r) override {
    if (!items.count(r)) return std::nullopt;
    return std::vector<std::uint8_t>(items[r].begin(), items[r].end());
  }
  std::unique_ptr<LectorDeArchivo> abrirParaLeer(const std::string&) override { return nullptr; }
  Resultado escribirAtomico(const std::string& r, const std::vector<std::uint8_t>& b) override {
    items[r] = std::string(b.begin(), b.end());
    return std::nullopt;
  }

  // A bundle with Contents/MacOS and the given Info.plist text.
  void paquete(const std::string& r, const std::string& info) {
    for (const char* parte : {"", "/Contents", "/Contents/MacOS"}) items[r + parte];
    items[r + "/Contents/Info.plist"] = info;
  }

 private:
  Resultado operacion(const std::string& nombre, const std::string& rutas) {
    b_.push_back(nombre + " " + rutas);
    return fallos.count(nombre) ? Resultado(fallos[nombre]) : std::nullopt;
  }
  std::vector<std::string> arbol(const std::string& r) const {
    std::vector<std::string> v;
    for (const auto& [k, _] : items)
      if (k == r || k.starts_with(r + "/")) v.push_back(k);
    return v;
  }
  bool quitar(const std::string& r) {
    std::vector<std::string> todos = arbol(r);
    for (const std::string& k : todos) items.erase(k);
    return !todos.empty();
  }
  Resultado trasladar(const std::string& de, const std::string& a, bool mover) {
    std::vector<std::string> todos = arbol(de);
    if (todos.empty()) return errorDePrueba(ENOENT);
    for (const std::string& k : todos) items[a + k.substr(de.size())] = items[k];
    if (mover) quitar(de);
    return std::nullopt;
  }
  Bitacora& b_;
};

// Running applications on the manual clock: each closes a set time after the polite
// request, or never. Open requests wait for the test to end them.
class AplicacionesFalsas : public Aplicaciones {
 public:
  AplicacionesFalsas(Bitacora& b, RelojManual& reloj) : b_(b), reloj_(reloj) {}

  std::vector<AplicacionEnEjecucion> corriendo;
  std::map<std::int32_t, double> tardaEnCerrar;  // absent: ignores the polite request
  std::vector<std::string> identificadores;
  std::vector<std::function<void(std::optional<Error>)>> aperturas;  // their `hecho`
  std::map<std::int32_t, double> pedidoEn, forzadaEn;

  void abrir(const std::string& p, bool nueva,
             std::function<void(std::optional<Error>)> hecho) override {
    b_.push_back("abrir " + p + (nueva ? " nueva" : " existente"));
    aperturas.push_back(std::move(hecho));
  }
  std::vector<AplicacionEnEjecucion> enEjecucion(const std::string& id) override {
    identificadores.push_back(id);
    return corriendo;
  }
  void terminar(const AplicacionEnEjecucion& a) override {
    b_.push_back("terminar " + std::to_string(a.pid));
    pedidoEn[a.pid] = reloj_.t;
  }
  void forzarTerminacion(const AplicacionEnEjecucion& a) override {
    b_.push_back("forzar " + std::to_string(a.pid));
    forzadaEn[a.pid] = reloj_.t;
  }
  bool terminada(const AplicacionEnEjecucion& a) override {
    return forzadaEn.count(a.pid) || (pedidoEn.count(a.pid) && tardaEnCerrar.count(a.pid) &&
                                      reloj_.t >= pedidoEn[a.pid] + tardaEnCerrar[a.pid]);
  }

 private:
  Bitacora& b_;
  RelojManual& reloj_;
};

// Answers alerts from a script; -1 (dismissed) once the script runs out.
class AlertasGuionadas : public Alertas {
 public:
  explicit AlertasGuionadas(Bitacora& b) : b_(b) {}
  std::deque<int> respuestas;
  std::vector<Alerta> mostradas;
  int mostrar(const Alerta& a) override {
    b_.push_back("alerta " + a.mensaje);
    mostradas.push_back(a);
    if (respuestas.empty()) return -1;
    int r = respuestas.front();
    respuestas.pop_front();
    return r;
  }

 private:
  Bitacora& b_;
};

// Records the script source; `alEjecutar` stands for what the elevated command does.
class AdministradorFalso : public Administrador {
 public:
  explicit AdministradorFalso(Bitacora& b) : b_(b) {}
  std::vector<std::string> fuentes;
  ResultadoDeGuion resultado;
  std::function<void()> alEjecutar;
  ResultadoDeGuion ejecutarAppleScript(const std::string& fuente) override {
    b_.push_back("administrador");
    fuentes.push_back(fuente);
    if (alEjecutar) alEjecutar();
    return resultado;
  }

 private:
  Bitacora& b_;
};

class AplicacionFalsa : public Aplicacion {
 public:
  explicit AplicacionFalsa(Bitacora& b) : b_(b) {}
  void activar() override { b_.push_back("activar"); }
  void terminar() override { b_.push_back("terminar"); }

 private:
  Bitacora& b_;
};

// What `salir` throws (after logging "salir <status>"), since a double cannot end the
// test process.
struct Salida {
  int estado;
};

// Records the programs it runs (`ejecutar` answers `estado`) and starts.
class ProcesosFalsos : public Procesos {
 public:
  explicit ProcesosFalsos(Bitacora& b) : b_(b) {}
  std::variant<int, Error> estado = 0;
  std::vector<std::vector<std::string>> lanzados;
  bool lanzable = true;
  std::set<std::int32_t> vivos;

  std::string herramienta(const std::string& r) override { return r; }
  std::variant<int, Error> ejecutar(const std::string& programa,
                                    const std::vector<std::string>& args) override {
    std::string orden = "ejecutar " + programa;
    for (const std::string& a : args) orden += " " + a;
    b_.push_back(orden);
    return estado;
  }
  std::optional<std::int32_t> lanzar(const std::string& programa,
                                     const std::vector<std::string>& args) override {
    b_.push_back("lanzar " + programa);
    lanzados.push_back({programa});
    lanzados.back().insert(lanzados.back().end(), args.begin(), args.end());
    if (!lanzable) return std::nullopt;
    return 200 + static_cast<std::int32_t>(lanzados.size());
  }
  bool vive(std::int32_t pid) override { return vivos.count(pid) > 0; }
  std::map<std::int32_t, double> inicios;  // absent: the system does not say
  std::optional<double> inicio(std::int32_t p) override {
    return inicios.count(p) ? std::optional(inicios[p]) : std::nullopt;
  }
  std::int32_t propio = 100;
  std::int32_t pid() override { return propio; }
  std::uint32_t uid() override { return 501; }
  std::string nombreDeUsuario() override { return "ana"; }
  [[noreturn]] void salir(int e) override {
    b_.push_back("salir " + std::to_string(e));
    throw Salida{e};
  }

 private:
  Bitacora& b_;
};

}  // namespace ovelmar::pruebas
