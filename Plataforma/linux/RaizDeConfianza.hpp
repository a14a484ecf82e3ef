#pragma once
// The code-signing trust root built into the component: the PEM file that the CMake cache
// variable OVELMAR_RAIZ_DE_CONFIANZA names when the build is configured. Empty when it
// names none, and then the component trusts no signing authority.

#include <string_view>

namespace ovelmar {

std::string_view raizDeConfianzaIncorporada();

}  // namespace ovelmar
