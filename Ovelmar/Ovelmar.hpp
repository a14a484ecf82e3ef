#pragma once
// The entry object the host creates and sends its messages to. It holds no logic: each
// message forwards to one subsystem.

#include <string>
#include <string_view>

#include "Actualizador.hpp"
#include "GuiaFlotante.hpp"
#include "Instalador.hpp"
#include "Plataforma/Plataforma.hpp"

namespace ovelmar {

// The Spanish text when the first preferred language begins with "es" (or none is
// known), else the English one.
std::string L(Idiomas& idiomas, std::string_view ingles, std::string_view espanol);

class Ovelmar {
 public:
  // Several entry objects share one updater and one installer.
  Ovelmar(Plataforma& plataforma, Instalador& instalador, Actualizador& actualizador)
      : plataforma_(plataforma),
        instalador_(instalador),
        actualizador_(actualizador),
        guia_(plataforma.paneles) {}

  bool instalarSiHaceFalta();
  bool puedeActualizarse();
  Diccionario estadoDeLaActualizacion() const;
  bool actualizar(const Diccionario& pedido);
  // On the main thread; neither waits for long (see Actualizador).
  Diccionario ultimaActualizacion();
  Diccionario firmaPropia();
  // The guide card; on the main thread, like every window.
  void mostrar(const Diccionario& pedido) { guia_.mostrar(pedido); }
  void cerrar() { guia_.cerrar(); }

  GuiaFlotante& guia() { return guia_; }

 private:
  Plataforma& plataforma_;
  Instalador& instalador_;
  Actualizador& actualizador_;
  GuiaFlotante guia_;
};

}  // namespace ovelmar
