#pragma once
#include "Plataforma/Preferencias.hpp"

namespace ovelmar {

class PreferenciasLinux : public Preferencias {
 public:
  std::optional<Valor> leer(const std::string& clave) override;
  void escribir(const std::string& clave, const Valor& valor) override;
};

}  // namespace ovelmar
