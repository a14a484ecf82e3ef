// The guide request as the host hands it over: arbitrary bytes read as a property list,
// every dictionary in it read and described as a card, and every text made fit for the
// screen. The same bytes also go in directly as texts, which reaches NUL bytes and broken
// UTF-8 that XML cannot carry.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Ovelmar/GuiaFlotante.hpp"
#include "Plataforma/linux/PanelesLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"

namespace {

using namespace ovelmar;

void comprobarMostrable(const std::string& texto, bool variasLineas) {
  for (char c : PanelesLinux::mostrable(texto, variasLineas)) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && !(variasLineas && b == '\n')) || b == 0x7f) __builtin_trap();
  }
}

void describir(const Diccionario& pedido) {
  const PedidoDeGuia leido = GuiaFlotante::leer(pedido);
  const DescripcionDePanel d = GuiaFlotante::describir(leido);
  // What comes out keeps its bounds.
  if (d.pasos.size() > GuiaFlotante::kMaximoDePasos ||
      d.encabezado.texto.size() > GuiaFlotante::kMaximoDeTitulo ||
      d.boton.titulo.size() > GuiaFlotante::kMaximoDeBoton || d.ancho != 440)
    __builtin_trap();
  for (const FilaDePaso& f : d.pasos) {
    if (f.texto.texto.size() > GuiaFlotante::kMaximoDePaso) __builtin_trap();
    comprobarMostrable(f.texto.texto, true);
  }
  comprobarMostrable(d.encabezado.texto, false);
  comprobarMostrable(d.boton.titulo, false);
}

void recorrer(const Valor& valor, int profundidad) {
  if (profundidad > 64) return;
  if (const Diccionario* d = valor.diccionario()) {
    describir(*d);
    for (const auto& [clave, v] : *d) recorrer(v, profundidad + 1);
  } else if (const Lista* l = valor.lista()) {
    for (const Valor& v : *l) recorrer(v, profundidad + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
  static PropiedadesLinux propiedades;
  const std::string_view bytes(reinterpret_cast<const char*>(datos), largo);
  if (std::optional<Valor> valor = propiedades.leer(bytes)) recorrer(*valor, 0);
  const std::string texto(bytes);
  describir({{"titulo", texto}, {"pasos", Lista{texto, texto}}, {"cerrar", texto}});
  return 0;
}
