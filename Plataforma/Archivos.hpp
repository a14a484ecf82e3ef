#pragma once
// The file manager. Paths are plain file-system paths.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Error.hpp"
#include "Valor.hpp"

namespace ovelmar {

// A file open for reading, read from the start piece by piece; closed when destroyed.
class LectorDeArchivo {
 public:
  virtual ~LectorDeArchivo() = default;
  // Up to `capacidad` bytes into `destino`: how many were read (0 at the end of the
  // file), or empty on a read error.
  virtual std::optional<std::size_t> leer(std::uint8_t* destino, std::size_t capacidad) = 0;
};

class Archivos {
 public:
  virtual ~Archivos() = default;

  // Follows symbolic links, as the file manager's existence test does.
  virtual bool existe(const std::string& ruta) = 0;
  virtual bool escribible(const std::string& ruta) = 0;
  // Owner account of the item itself (a link is not followed).
  virtual std::optional<std::uint32_t> dueno(const std::string& ruta) = 0;
  // Whether the volume that holds `ruta` is mounted read-only; empty when unknown.
  virtual std::optional<bool> soloLectura(const std::string& ruta) = 0;
  // The path with every symbolic link in its existing part resolved and "." and ".."
  // removed; a part that does not exist is kept as written.
  virtual std::string resolverEnlaces(const std::string& ruta) = 0;

  virtual Resultado crearCarpetas(const std::string& ruta) = 0;
  // Names of the entries directly inside, hidden ones included.
  virtual std::optional<std::vector<std::string>> listar(const std::string& ruta) = 0;
  // Recursive; a missing item is an error.
  virtual Resultado eliminar(const std::string& ruta) = 0;
  virtual Resultado mover(const std::string& de, const std::string& a) = 0;
  // Recursive copy keeping modes, symbolic links and extended attributes; `a` must not exist.
  virtual Resultado copiar(const std::string& de, const std::string& a) = 0;
  // Puts `nueva` at `destino` in one step and removes what stood there; consumes `nueva`.
  virtual Resultado reemplazar(const std::string& destino, const std::string& nueva) = 0;
  virtual Resultado papelera(const std::string& ruta) = 0;

  virtual std::optional<std::int64_t> tamano(const std::string& ruta) = 0;
  virtual std::optional<std::vector<std::uint8_t>> leer(const std::string& ruta) = 0;
  // Empty when the file cannot be opened for reading.
  virtual std::unique_ptr<LectorDeArchivo> abrirParaLeer(const std::string& ruta) = 0;
  // Written whole or not at all, readable by the user only.
  virtual Resultado escribirAtomico(const std::string& ruta,
                                    const std::vector<std::uint8_t>& bytes) = 0;

  // Filling a bundle from another: `relativa` is plain names joined by "/", and no
  // symbolic link is followed below either root. When nothing stands at `relativa` below
  // `destino`, the regular file at the same place below `origen` is copied there with the
  // permission bits `modo` (missing folders are made); an item already there is kept.
  // Not there in `origen`, or reached only through a link in either root: an error of
  // code 2 (no such file), whatever the platform.
  virtual Resultado completarDesde(const std::string& origen, const std::string& destino,
                                   const std::string& relativa, std::uint32_t modo) {
    (void)origen, (void)destino, (void)relativa, (void)modo;
    return Error{Error::dominioPosix, 45, "not supported"};
  }
  // The same for a symbolic link holding `objetivo`.
  virtual Resultado completarEnlace(const std::string& destino, const std::string& relativa,
                                    const std::string& objetivo) {
    (void)destino, (void)relativa, (void)objetivo;
    return Error{Error::dominioPosix, 45, "not supported"};
  }
};

}  // namespace ovelmar
