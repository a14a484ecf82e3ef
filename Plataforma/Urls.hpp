#pragma once
// The platform's URL parser.

#include <optional>
#include <string>

namespace ovelmar {

struct UrlAnalizada {
  std::string esquema;  // as the parser reports it
  std::string anfitrion;
};

class Urls {
 public:
  virtual ~Urls() = default;
  // Empty when the text does not parse as an absolute URL.
  virtual std::optional<UrlAnalizada> analizar(const std::string& texto) = 0;
};

}  // namespace ovelmar
