#pragma once
#include "Plataforma/Idiomas.hpp"

namespace ovelmar {

// GLib's order (LANGUAGE, LC_ALL, LC_MESSAGES, LANG); "C" and "POSIX" mean no preference.
class IdiomasLinux : public Idiomas {
 public:
  std::vector<std::string> preferidos() override;
  // "es_ES.UTF-8@euro" -> "es-ES"; empty for "C" and "POSIX".
  static std::string etiqueta(const std::string& locale);
};

}  // namespace ovelmar
