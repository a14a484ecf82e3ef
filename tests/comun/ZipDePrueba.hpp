#pragma once
// Archives for tests: a folder zipped as a maker zips it, and archives written byte by byte
// for what no archiver makes on purpose.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ovelmar::pruebas {

// One entry of an archive written byte by byte, so that a case says exactly what the
// archive declares. Every name is flagged UTF-8, as bsdtar and Python's zipfile flag them.
struct EntradaZip {
  std::string nombre, datos;    // datos: the content, or the link's target
  unsigned modo = 0100644;      // Unix type and permission bits
  std::uint64_t declarado = 0;  // the size the directory gives; 0: the real one
  bool desinflar = false;
};

// The archive's bytes; `declaradas` (when not 0) is the number of entries its end says.
std::string zip(const std::vector<EntradaZip>& entradas, std::uint64_t declaradas = 0);
// The folder's content zipped into `zip` with the zip tool, links kept.
void zipDe(const std::filesystem::path& carpeta, const std::filesystem::path& zip);

}  // namespace ovelmar::pruebas
