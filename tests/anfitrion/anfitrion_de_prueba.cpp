// A host for the integration tests and the fault campaign. It links the component directly,
// runs from whatever application bundle the test copies it into, trusts the root it is
// given, and prints every published state on one line:
//
//   anfitrion_de_prueba [--raiz ROOT.pem] [--ca SERVER-CA.pem] ORDER...
//     instalarSiHaceFalta | actualizar:FILE (a request as a property list)
//
// Like an application without callbacks, it ends when the component asks it to; after the
// orders it keeps its main queue running for at most a minute, for a swap to ask that.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "Ovelmar/Actualizador.hpp"
#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/Ovelmar.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/RedLinux.hpp"

namespace {

std::string leer(const std::string& ruta) {
  std::ifstream f(ruta, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string linea(const ovelmar::Diccionario& estado) {
  std::string r = "estado";
  for (const char* clave : {"fase", "motivo", "build"}) {
    const ovelmar::Valor* v = ovelmar::buscar(estado, clave);
    if (!v) continue;
    r += std::string(" ") + clave + "=";
    if (const std::string* t = v->texto()) r += *t;
    if (const std::int64_t* n = v->entero()) r += std::to_string(*n);
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ovelmar;
  int i = 1;
  std::string raiz, ca;
  for (; i + 1 < argc && std::string_view(argv[i]).starts_with("--"); i += 2)
    (std::string_view(argv[i]) == "--raiz" ? raiz : ca) = argv[i + 1];
  PlataformaLinux linux(leer(raiz));
  if (!ca.empty()) linux.red().confiarEn(ca);
  Plataforma p = linux.plataforma();
  ReglasDeActualizacion reglas(p);
  Instalador instalador(p, reglas);
  Actualizador actualizador(p, reglas, instalador);
  Ovelmar entrada(p, instalador, actualizador);
  p.notificaciones->observar(actualizador.aviso(), [](const Diccionario& estado) {
    std::printf("%s\n", linea(estado).c_str());
    std::fflush(stdout);
  });
  for (; i < argc; ++i) {
    const std::string_view orden = argv[i];
    if (orden == "instalarSiHaceFalta") {
      std::printf("instalarSiHaceFalta %d\n", entrada.instalarSiHaceFalta() ? 1 : 0);
    } else if (orden.starts_with("actualizar:")) {
      std::optional<Valor> v = p.propiedades->leer(leer(std::string(orden.substr(11))));
      const Diccionario* d = v ? v->diccionario() : nullptr;
      std::printf("actualizar %d\n", entrada.actualizar(d ? *d : Diccionario{}) ? 1 : 0);
    } else {
      std::fprintf(stderr, "unknown order: %s\n", argv[i]);
      return 2;
    }
    std::fflush(stdout);
  }
  p.colaPrincipal->correrDurante(60);
  return 0;
}
