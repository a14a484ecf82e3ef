#include "PreferenciasLinux.hpp"

namespace ovelmar {

// Not kept yet: the user-defaults file comes with the updater.
std::optional<Valor> PreferenciasLinux::leer(const std::string&) { return std::nullopt; }
void PreferenciasLinux::escribir(const std::string&, const Valor&) {}

}  // namespace ovelmar
