#include "GuiaFlotante.hpp"

namespace ovelmar {

namespace {

// At most `maximo` bytes, never ending inside a UTF-8 sequence.
std::string recortar(const std::string& texto, std::size_t maximo) {
  if (texto.size() <= maximo) return texto;
  std::size_t fin = maximo;
  while (fin > 0 && (static_cast<unsigned char>(texto[fin]) & 0xC0) == 0x80) --fin;
  return texto.substr(0, fin);
}

Etiqueta etiqueta(std::string texto, double tamano, int peso, ColorDeTexto color) {
  return {std::move(texto), {tamano, peso, false}, color, 0};
}

}  // namespace

PedidoDeGuia GuiaFlotante::leer(const Diccionario& pedido) {
  PedidoDeGuia leido;
  if (const std::string* t = textoDe(pedido, "titulo"))
    leido.titulo = recortar(*t, kMaximoDeTitulo);
  if (const std::string* t = textoDe(pedido, "cerrar")) leido.cerrar = recortar(*t, kMaximoDeBoton);
  const Valor* pasos = buscar(pedido, "pasos");
  if (const Lista* lista = pasos ? pasos->lista() : nullptr) {
    for (const Valor& paso : *lista) {
      if (!paso.texto()) {
        leido.pasos.clear();
        break;
      }
      if (leido.pasos.size() < kMaximoDePasos)
        leido.pasos.push_back(recortar(*paso.texto(), kMaximoDePaso));
    }
  }
  return leido;
}

DescripcionDePanel GuiaFlotante::describir(const PedidoDeGuia& pedido) {
  DescripcionDePanel d;
  d.ancho = 440;
  d.radio = 18;
  d.margenes = {18, 20, 16, 20};
  d.espaciado = 10;
  d.distanciaAlBorde = 28;
  d.nombreAccesible = pedido.titulo;
  d.encabezado = etiqueta(pedido.titulo, 15, 600, ColorDeTexto::etiqueta);
  for (std::size_t i = 0; i < pedido.pasos.size(); ++i) {
    FilaDePaso fila;
    fila.numero = etiqueta(std::to_string(i + 1), 13, 700, ColorDeTexto::acento);
    fila.numero.fuente.cifrasMonoespaciadas = true;
    fila.texto = etiqueta(pedido.pasos[i], 13, 400, ColorDeTexto::etiquetaSecundaria);
    fila.texto.anchoMaximo = 370;
    fila.espaciado = 8;
    d.pasos.push_back(std::move(fila));
  }
  d.boton = {pedido.cerrar, U'\x1b'};
  return d;
}

void GuiaFlotante::mostrar(const Diccionario& pedido) {
  DescripcionDePanel descripcion = describir(leer(pedido));
  cerrar();
  if (paneles_) panel_ = paneles_->mostrar(descripcion, [this] { cerrar(); });
}

void GuiaFlotante::cerrar() {
  if (panel_ == 0) return;
  const std::uint64_t panel = panel_;
  panel_ = 0;
  paneles_->cerrar(panel);
}

}  // namespace ovelmar
