#pragma once
// Test doubles of the basic ports: fixed answers, a manual clock and a manual main queue.

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Plataforma/Plataforma.hpp"

namespace ovelmar::pruebas {

class IdiomasFijos : public Idiomas {
 public:
  std::vector<std::string> lista;
  std::vector<std::string> preferidos() override { return lista; }
};

class EntornoFijo : public Entorno {
 public:
  std::map<std::string, std::string> variables;
  std::optional<std::string> variable(const std::string& n) override {
    return variables.count(n) ? std::optional(variables[n]) : std::nullopt;
  }
};

class PaqueteFijo : public PaquetePrincipal {
 public:
  std::optional<std::string> rutaFija;
  std::optional<Diccionario> infoFija;
  int lecturas = 0;
  std::optional<std::string> ruta() override { return rutaFija; }
  std::optional<Diccionario> info() override { return ++lecturas, infoFija; }
};

class CarpetasFijas : public Carpetas {
 public:
  std::optional<std::string> descargasFija, cachesFija;
  std::vector<std::string> raices;
  std::optional<std::string> descargas() override { return descargasFija; }
  std::optional<std::string> caches() override { return cachesFija; }
  std::string temporal() override { return "/tmp"; }
  std::vector<std::string> raicesDeVolumenes() override { return raices; }
};

class RelojManual : public Reloj {
 public:
  double t = 1.7e9;
  double ahora() override { return t; }
};

// A main queue that runs only when the test says so, on a clock the test moves.
class ColaManual : public ColaPrincipal {
 public:
  explicit ColaManual(RelojManual& reloj) : reloj_(reloj) {}
  bool principal = true;
  bool esHiloPrincipal() override { return principal; }
  void enviar(std::function<void()> t) override { enviarDespues(0, std::move(t)); }
  void enviarDespues(double s, std::function<void()> t) override {
    pendientes_.emplace(std::pair(reloj_.t + s, orden_++), std::move(t));
  }
  void correrDurante(double s) override { avanzar(s); }

  // Runs everything due now, including work that due work sends for now.
  void correr() { avanzar(0); }
  // Moves the clock forward, running each item at its time, in order.
  void avanzar(double segundos) {
    const double fin = reloj_.t + segundos;
    while (!pendientes_.empty() && pendientes_.begin()->first.first <= fin) {
      auto siguiente = pendientes_.extract(pendientes_.begin());
      reloj_.t = std::max(reloj_.t, siguiente.key().first);
      siguiente.mapped()();
    }
    reloj_.t = fin;
  }

 private:
  RelojManual& reloj_;
  std::map<std::pair<double, long>, std::function<void()>> pendientes_;  // by time, then order
  long orden_ = 0;
};

// Background work that runs when the test says so.
class ColaGlobalManual : public ColaGlobal {
 public:
  std::vector<std::pair<double, std::function<void()>>> trabajos;
  void enviar(std::function<void()> t) override { enviarDespues(0, std::move(t)); }
  void enviarDespues(double s, std::function<void()> t) override {
    trabajos.emplace_back(s, std::move(t));
  }
  void correrTodo() {
    for (auto& [s, f] : std::exchange(trabajos, {})) f();
  }
};

// The real background queue, but delayed work (the forced exit after a swap) never runs, so
// that a swap cannot end the test or bench process.
class ColaGlobalSinDemoras : public ColaGlobal {
 public:
  explicit ColaGlobalSinDemoras(ColaGlobal& real) : real_(real) {}
  void enviar(std::function<void()> t) override { real_.enviar(std::move(t)); }
  void enviarDespues(double, std::function<void()>) override {}

 private:
  ColaGlobal& real_;
};

class CargaDinamicaFalsa : public CargaDinamica {
 public:
  std::map<std::string, void*> simbolos;
  bool hayBiblioteca = false;
  std::vector<std::string> abiertas;
  void* abrir(const char* ruta) override {
    abiertas.push_back(ruta);
    return hayBiblioteca ? this : nullptr;
  }
  void* simbolo(void*, const char* nombre) override {
    return simbolos.count(nombre) ? simbolos[nombre] : nullptr;
  }
};

class RegistroEnMemoria : public Registro {
 public:
  std::vector<std::string> lineas;
  void escribir(const std::string& l) override { lineas.push_back(l); }
};

}  // namespace ovelmar::pruebas

namespace ovelmar {

// How a failed comparison shows a value: as a property list reads, not as its bytes.
inline void PrintTo(const Valor& v, std::ostream* o) {
  if (const std::string* t = v.texto()) *o << '"' << *t << '"';
  if (const std::int64_t* n = v.entero()) *o << *n;
  if (const double* r = v.real()) *o << std::showpoint << *r << std::noshowpoint;  // 2.00000, not 2
  if (const bool* b = v.booleano()) *o << (*b ? "true" : "false");
  if (v.datos()) *o << "<" << v.datos()->bytes.size() << " bytes>";
  if (v.fecha()) *o << "<date " << v.fecha()->segundos << ">";
  if (const Lista* l = v.lista()) {
    *o << '[';
    for (const Valor& e : *l) PrintTo(e, o), *o << (&e == &l->back() ? "" : ", ");
    *o << ']';
  }
  if (const Diccionario* d = v.diccionario()) {
    *o << '{';
    for (const auto& [k, e] : *d)
      *o << (k == d->begin()->first ? "" : ", ") << k << ": ", PrintTo(e, o);
    *o << '}';
  }
}

}  // namespace ovelmar
