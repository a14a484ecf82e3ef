#pragma once
// The platform's URL parser.

#include <optional>
#include <string>

namespace ovelmar {

struct UrlAnalizada {
  std::string esquema;    // as written in the text, letter case included
  std::string anfitrion;  // empty when the URL has none
};

class Urls {
 public:
  virtual ~Urls() = default;
  // Empty when the text does not parse as an absolute URL.
  virtual std::optional<UrlAnalizada> analizar(const std::string& texto) = 0;
};

}  // namespace ovelmar
