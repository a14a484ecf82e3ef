#pragma once
// The verdict on a candidate application.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace ovelmar {

struct Comprobacion {
  enum class Caso { vale, otroIdentificador, otroBuild, noEsAppDeMac, noEsMasNueva };

  Caso caso = Caso::vale;
  std::optional<std::string> identificador;  // only for otroIdentificador
  std::optional<std::int64_t> build;         // only for otroBuild

  static Comprobacion vale() { return {Caso::vale, {}, {}}; }
  static Comprobacion otroIdentificador(std::optional<std::string> id) {
    return {Caso::otroIdentificador, std::move(id), {}};
  }
  static Comprobacion otroBuild(std::optional<std::int64_t> b) { return {Caso::otroBuild, {}, b}; }
  static Comprobacion noEsAppDeMac() { return {Caso::noEsAppDeMac, {}, {}}; }
  static Comprobacion noEsMasNueva() { return {Caso::noEsMasNueva, {}, {}}; }

  bool operator==(const Comprobacion&) const = default;
};

}  // namespace ovelmar
