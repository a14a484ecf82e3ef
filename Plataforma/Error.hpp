#pragma once
// One error value for every fallible platform operation: file and process errors are
// passed on unchanged; the component creates only the two Cocoa file-domain codes.

#include <cstdint>
#include <optional>
#include <string>

namespace ovelmar {

struct Error {
  static constexpr const char* dominioCocoa = "NSCocoaErrorDomain";
  static constexpr const char* dominioPosix = "NSPOSIXErrorDomain";
  static constexpr std::int64_t fileWriteNoPermission = 513;
  static constexpr std::int64_t userCancelled = 3072;

  std::string dominio;
  std::int64_t codigo = 0;
  std::string descripcion;

  static Error cocoa(std::int64_t codigo) { return Error{dominioCocoa, codigo, {}}; }
  bool esCocoa(std::int64_t c) const { return dominio == dominioCocoa && codigo == c; }
  bool operator==(const Error&) const = default;
};

// Empty on success.
using Resultado = std::optional<Error>;

}  // namespace ovelmar
