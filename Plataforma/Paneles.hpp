#pragma once
// Floating panels: small borderless cards above every window that never take the keyboard
// focus from the application in use. The component says what a card holds and where it
// goes; the platform measures, draws and places it.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ovelmar {

// Colours by role; the platform picks the values that read well on its heads-up
// background. The accent is the desktop's own where it has one.
enum class ColorDeTexto { etiqueta, etiquetaSecundaria, acento };

struct Fuente {
  double tamano = 13;  // points
  int peso = 400;      // 400 regular, 600 semibold, 700 bold
  bool cifrasMonoespaciadas = false;
};

struct Etiqueta {
  std::string texto;
  Fuente fuente;
  ColorDeTexto color = ColorDeTexto::etiqueta;
  // Longer text wraps onto further lines at this width; 0: a single line.
  double anchoMaximo = 0;
};

struct FilaDePaso {
  Etiqueta numero;
  Etiqueta texto;
  double espaciado = 0;  // between number and text, which share their first baseline
};

struct Margenes {
  double arriba = 0, izquierda = 0, abajo = 0, derecha = 0;
};

// Screen coordinates: origin at the top left, y grows downwards.
struct Rectangulo {
  double x = 0, y = 0, ancho = 0, alto = 0;
  bool operator==(const Rectangulo&) const = default;
};

// The card's only button, at the right-hand end of its last row.
struct BotonDePanel {
  std::string titulo;
  char32_t equivalente = 0;  // the key that presses it
};

struct DescripcionDePanel {
  double ancho = 0;  // fixed; the height follows the content
  double radio = 0;  // of the rounded corners
  Margenes margenes;
  double espaciado = 0;  // between the rows of the column
  std::string nombreAccesible;
  Etiqueta encabezado;
  std::vector<FilaDePaso> pasos;
  BotonDePanel boton;
  // Centred in the work area (the screen without panels and docks), this far above its
  // bottom edge.
  double distanciaAlBorde = 0;

  // Where a card whose content measures `altoDelContenido` goes. A card taller than the
  // work area is cut so that it still keeps its distance and its top stays on screen.
  Rectangulo marco(const Rectangulo& area, double altoDelContenido) const {
    const double alto = std::max(0.0, std::min(altoDelContenido, area.alto - distanciaAlBorde));
    return {area.x + (area.ancho - ancho) / 2, area.y + area.alto - distanciaAlBorde - alto, ancho,
            alto};
  }
};

class Paneles {
 public:
  virtual ~Paneles() = default;
  // Shows a new card in front of every window without making it key. `alCerrar` runs on
  // the main thread when the user presses the button or its key. The card's handle, or 0
  // when no card can be shown (no screen).
  virtual std::uint64_t mostrar(const DescripcionDePanel& descripcion,
                                std::function<void()> alCerrar) = 0;
  // Hides and discards the card; 0 or a card already gone changes nothing.
  virtual void cerrar(std::uint64_t panel) = 0;
};

}  // namespace ovelmar
