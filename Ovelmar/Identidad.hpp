#pragma once
// The host application's identity, read from its bundle information.

#include <string>

#include "Plataforma/Valor.hpp"

namespace ovelmar {

struct Identidad {
  std::string identificador;
  std::string fichero;
  std::string nombre;

  static Identidad de(const Diccionario& info);

  std::string app() const { return nombre + ".app"; }
  std::string aviso() const { return identificador + ".actualizacion"; }
  std::string claveDeFallos() const { return identificador + ".actualizacion.fallos"; }
  std::string carpetaDeDescargas() const { return identificador + "/actualizacion"; }

  bool operator==(const Identidad&) const = default;
};

}  // namespace ovelmar
