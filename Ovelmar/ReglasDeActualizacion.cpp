#include "ReglasDeActualizacion.hpp"

namespace ovelmar {

const Identidad& ReglasDeActualizacion::identidad() const {
  std::call_once(unaVez_, [this] {
    std::optional<Diccionario> info = plataforma_.paquete->info();
    identidad_ = Identidad::de(info ? *info : Diccionario{});
  });
  return identidad_;
}

}  // namespace ovelmar
