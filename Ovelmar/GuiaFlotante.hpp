#pragma once
// The floating guide: a card with a heading, numbered steps and a close button, whose
// texts the host supplies. The controller owns at most one card.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Plataforma/Paneles.hpp"
#include "Plataforma/Valor.hpp"

namespace ovelmar {

// The guide request: "titulo", "pasos" and "cerrar"; other keys are ignored.
struct PedidoDeGuia {
  std::string titulo;
  std::vector<std::string> pasos;
  std::string cerrar = "OK";
};

class GuiaFlotante {
 public:
  // A request larger than this cannot show more: the card is cut at the screen's height
  // long before. Longer texts are cut at a character boundary, further steps dropped.
  static constexpr std::size_t kMaximoDePasos = 200;
  static constexpr std::size_t kMaximoDeTitulo = 1024;
  static constexpr std::size_t kMaximoDePaso = 4096;
  static constexpr std::size_t kMaximoDeBoton = 256;

  // Without panels (null) nothing is ever shown.
  explicit GuiaFlotante(Paneles* paneles) : paneles_(paneles) {}
  ~GuiaFlotante() { cerrar(); }
  // The card calls back into this object, which therefore stays where it is.
  GuiaFlotante(const GuiaFlotante&) = delete;
  GuiaFlotante& operator=(const GuiaFlotante&) = delete;

  // A missing or mistyped value takes its default; "pasos" holding anything but texts
  // counts as no steps.
  static PedidoDeGuia leer(const Diccionario& pedido);
  static DescripcionDePanel describir(const PedidoDeGuia& pedido);

  // Replaces any card shown with a new one at the default position.
  void mostrar(const Diccionario& pedido);
  // Safe when nothing is shown; the card's button and its Escape key come here too.
  void cerrar();
  bool hayPanel() const { return panel_ != 0; }

 private:
  Paneles* paneles_;
  std::uint64_t panel_ = 0;
};

}  // namespace ovelmar
