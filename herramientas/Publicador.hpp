#pragma once
// Publishing an update: a signed bundle zipped the way the updater unpacks it, checked
// again after a round trip through the updater's own unpacking and signature check, and
// the request that a maker's feed hands to the host's `actualizar:`. The maker's side:
// used by the `publicar` tool and by tests, never shipped inside the component's bundle.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "Plataforma/Valor.hpp"
#include "herramientas/Firmante.hpp"

namespace ovelmar {

// What the updater will read from a bundle: its identity and build.
struct PaqueteAPublicar {
  std::string ruta;
  std::string identificador;  // CFBundleIdentifier
  std::string fichero;        // CFBundleName: names the archive
  std::string nombre;         // the display name: the bundle folder must be nombre + ".app"
  std::int64_t build = 0;     // CFBundleVersion, read as the updater reads it
};

// The bundle's identity, or why the updater would never install it (no Info.plist, no
// identifier, no build of at least 1, no Contents/MacOS, a folder named otherwise than
// the display name, no signature).
std::variant<PaqueteAPublicar, std::string> leerPaqueteAPublicar(const std::string& paquete);

// What zipping wrote.
struct Archivado {
  std::uint64_t carpetas = 0, archivos = 0, enlaces = 0;
};

// Zips the bundle folder into `zip` with the folder itself as the top entry
// (Foo.app/Contents/...): names byte for byte as stored on disk, modes kept, links stored
// as links, nothing else added. An existing `zip` is replaced; on failure none is left.
//
// With `desde` (an older build of the same bundle) it writes a delta instead: the folders,
// every file of the signature folders, and only the files that are new or whose bytes
// changed; the updater takes the rest, and every link, from the installed build.
Problema archivarPaquete(const std::string& paquete, const std::string& zip,
                         Archivado* archivado = nullptr,
                         const std::optional<std::string>& desde = std::nullopt);

// Unpacks `zip` into a temporary folder exactly as the updater's `ditto -x -k` does and
// checks the bundle `app` found there as the updater does, against `raizPem`, with the
// requirement that names `identificador` and the maker's team.
// A delta is first filled from `desde` as the updater fills it from the installed build.
Problema comprobarIdaYVuelta(const std::string& zip, const std::string& app,
                             const std::string& identificador, std::string_view raizPem,
                             const std::optional<std::string>& desde = std::nullopt);

// The SHA-256 of a file and its size.
struct Huella {
  std::array<std::uint8_t, 32> sha256{};
  std::int64_t tamano = 0;
};
std::variant<Huella, std::string> huellaDe(const std::string& archivo);

// The Ed25519 signature of the 32 raw bytes of a digest, in base64, with the PEM private
// key `clavePem`.
Problema firmarResumen(const std::string& clavePem, const std::array<std::uint8_t, 32>& resumen,
                       std::string& base64);

struct OpcionesDePublicacion {
  std::string paquete;
  std::string carpeta;  // where the archive and the request files go; made if missing
  std::string urlBase;  // the archive is served at urlBase + "/" + its file name
  std::optional<std::string> claveEd25519;  // the PEM text of the key, when the feed signs
  std::string raiz;                         // trust root (PEM) for the round-trip check
  std::optional<std::string> desde{};       // an older build: publish a delta from it
};

struct Publicacion {
  PaqueteAPublicar paquete;
  Archivado archivado;
  std::string zip;          // the archive's path
  Diccionario pedido;       // url, sha256, build, tamano[, base][, firmaDelArchivo]
  std::string plist, json;  // the request as written
  std::string rutaPlist, rutaJson;
};

// All of it: read, zip, check after the round trip, digest, optionally sign, and write
// the request beside the archive as Name-build.plist and Name-build.json. `avance` hears
// one line per stage. On failure, what went wrong; no archive is left behind.
std::variant<Publicacion, std::string> publicar(const OpcionesDePublicacion& opciones,
                                                const Avance& avance = {});

// A flat dictionary of texts and integers as one line of JSON.
std::string comoJson(const Diccionario& d);

}  // namespace ovelmar
