#pragma once
// Unpacks a PKZip archive that nobody vouches for into a folder.
//
// The archive is judged whole before anything is written: its central directory is read
// with every count, size and offset bounded, names are taken byte for byte as stored
// (whatever the locale, never recomposed), and the tree it describes is checked: no
// absolute paths, no "..", no entry through a link or a file, no special files, and no
// link that leads outside the folder once it is followed through the archive's own
// links. Files are then written by a few workers, links last; a content never grows
// past the size the directory gave it. On any failure what this run created is removed.

#include <cstdint>
#include <optional>
#include <string>

namespace ovelmar {

class Desempaquetador {
 public:
  struct Limites {
    std::uint64_t bytes = 4ull << 30;  // unpacked, declared and written
    std::uint64_t entradas = 200000;
  };

  Desempaquetador();  // the limits above, two workers
  Desempaquetador(Limites limites, unsigned trabajadores);

  // Nothing when the whole archive is in the folder (created if needed); otherwise why
  // not, and nothing this call created is left behind (the folder either, if it made it).
  std::optional<std::string> desempaquetar(const std::string& zip,
                                           const std::string& carpeta) const;

 private:
  Limites limites_;
  unsigned trabajadores_;
};

}  // namespace ovelmar
