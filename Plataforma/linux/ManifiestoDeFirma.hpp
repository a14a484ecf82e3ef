#pragma once
// The seal of a signed bundle, Contents/_CodeSignature/CodeResources: an XML property
// list that names the bundle identifier and every item of the bundle outside its own
// _CodeSignature folder (files with their SHA-256 and mode, links with their targets,
// folders, and nested bundles with the SHA-256 of their own CodeResources). The reader
// checks every path and link target before anything is opened through them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ovelmar {

using Sha256 = std::array<std::uint8_t, 32>;

struct ArchivoSellado {
  Sha256 sha256{};
  std::uint32_t modo = 0;  // permission bits only
};

// Paths are relative to the bundle folder, components joined by "/".
struct Manifiesto {
  std::string identificador;
  std::map<std::string, ArchivoSellado, std::less<>> archivos;
  std::map<std::string, std::string, std::less<>> enlaces;  // target as the link holds it
  std::set<std::string, std::less<>> carpetas;
  std::map<std::string, Sha256, std::less<>> anidados;  // SHA-256 of their CodeResources
};

namespace sello {
inline constexpr std::string_view kCarpeta = "Contents/_CodeSignature";
inline constexpr std::string_view kRecursos = "CodeResources";
inline constexpr std::string_view kFirma = "CodeSignature";
inline constexpr std::string_view kTicket = "NotarizationTicket";

inline constexpr std::size_t kTamanoMaximo = 32u << 20;  // of CodeResources
inline constexpr std::size_t kEntradasMaximas = 100000;
inline constexpr std::size_t kRutaMaxima = 1024;        // bytes of a path or link target
inline constexpr std::size_t kComponentesMaximos = 64;  // folders deep
}  // namespace sello

// The manifest in `bytes`, or empty with `error` saying in one line what is wrong.
std::optional<Manifiesto> leerManifiesto(std::string_view bytes, std::string& error);
// The manifest as the property list the reader takes.
std::string escribirManifiesto(const Manifiesto& manifiesto);

// The SHA-256 of `bytes`.
Sha256 sha256De(std::string_view bytes);
// Lower-case hexadecimal, and back (empty unless exactly 64 such digits).
std::string hexDe(const Sha256& resumen);
std::optional<Sha256> sha256DeHex(std::string_view texto);
// A path or name as a description may show it: control characters become "?".
std::string mostrable(std::string_view texto);

}  // namespace ovelmar
