#pragma once
// The user's preferred languages, most preferred first (tags such as "es-ES").

#include <string>
#include <vector>

namespace ovelmar {

class Idiomas {
 public:
  virtual ~Idiomas() = default;
  virtual std::vector<std::string> preferidos() = 0;
};

}  // namespace ovelmar
