#include "Actualizador.hpp"

namespace ovelmar {

// Placeholder until the updater lands: nothing can be updated yet.
bool Actualizador::puedeActualizarse() { return false; }
bool Actualizador::empezar(const Diccionario&) { return false; }

}  // namespace ovelmar
