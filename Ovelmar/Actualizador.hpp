#pragma once
// The updater: one per process (see the bundle's wiring); tests build their own.

#include <cstdint>
#include <optional>
#include <string>

#include "Instalador.hpp"
#include "Pedido.hpp"
#include "Plataforma/Plataforma.hpp"
#include "ReglasDeActualizacion.hpp"

namespace ovelmar {

class Actualizador {
 public:
  Actualizador(Plataforma& plataforma, ReglasDeActualizacion& reglas, Instalador& instalador)
      : plataforma_(plataforma), reglas_(reglas), instalador_(instalador) {}

  const Diccionario& estado() const { return estado_; }
  bool puedeActualizarse();
  bool empezar(const Diccionario& pedido);

 private:
  Plataforma& plataforma_;
  ReglasDeActualizacion& reglas_;
  Instalador& instalador_;
  Diccionario estado_{{"fase", Valor("nada")}};
};

}  // namespace ovelmar
