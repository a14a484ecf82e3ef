// The update request as the host hands it over: arbitrary bytes read as a property list
// (XML or binary) by the real reader, every dictionary that comes out through leerPedido,
// and every value through entero. The same bytes are also tried directly as the texts of
// a request, which reaches NUL bytes and broken UTF-8 that XML cannot carry.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "Plataforma/linux/UrlsLinux.hpp"

namespace {

using namespace ovelmar;

// The request reader never asks for the host's identity; an empty bundle is enough.
class SinPaquete : public PaquetePrincipal {
 public:
  std::optional<std::string> ruta() override { return std::nullopt; }
  std::optional<Diccionario> info() override { return std::nullopt; }
};

void recorrer(const ReglasDeActualizacion& reglas, const Valor& valor, int profundidad) {
  (void)ReglasDeActualizacion::entero(&valor);
  if (profundidad > 64) return;
  if (const Diccionario* d = valor.diccionario()) {
    if (auto p = reglas.leerPedido(*d)) {
      // What comes out keeps its promises.
      if (p->sha256.size() != 64 || p->build < 1 || p->tamano < 1 ||
          p->tamano > ReglasDeActualizacion::tamanoMaximo || p->url.rfind("https:", 0) != 0 ||
          (p->firmaDelArchivo && p->firmaDelArchivo->size() > 1024))
        __builtin_trap();
    }
    for (const auto& [clave, v] : *d) recorrer(reglas, v, profundidad + 1);
  } else if (const Lista* l = valor.lista()) {
    for (const Valor& v : *l) recorrer(reglas, v, profundidad + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
  static SinPaquete paquete;
  static UrlsLinux urls;
  static PropiedadesLinux propiedades;
  static Plataforma plataforma = [] {
    Plataforma p;
    p.paquete = &paquete;
    p.urls = &urls;
    p.propiedades = &propiedades;
    return p;
  }();
  static ReglasDeActualizacion reglas(plataforma);

  std::string_view bytes(reinterpret_cast<const char*>(datos), largo);
  if (std::optional<Valor> valor = propiedades.leer(bytes)) recorrer(reglas, *valor, 0);

  std::string texto(bytes);
  Valor comoTexto(texto);
  (void)ReglasDeActualizacion::entero(&comoTexto);
  (void)reglas.leerPedido(
      {{"url", texto}, {"sha256", std::string(64, 'a')}, {"build", texto}, {"tamano", texto}});
  (void)reglas.leerPedido(
      {{"url", "https://example.com/a.zip"}, {"sha256", texto}, {"build", 1}, {"tamano", 1}});
  return 0;
}
