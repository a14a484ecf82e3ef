#pragma once
// A folder that exists for one test and is removed afterwards, and the file helpers tests
// share: commands, trees, bundles and archives.

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace ovelmar::pruebas {

class CarpetaTemporal {
 public:
  CarpetaTemporal();
  ~CarpetaTemporal();
  CarpetaTemporal(const CarpetaTemporal&) = delete;
  CarpetaTemporal& operator=(const CarpetaTemporal&) = delete;

  const std::filesystem::path& ruta() const { return ruta_; }
  std::string operator/(const std::string& relativa) const { return (ruta_ / relativa).string(); }

 private:
  std::filesystem::path ruta_;
};

// The whole file as text; empty when it cannot be read.
std::string leerArchivo(const std::filesystem::path& ruta);
// The same property list in libplist's binary form.
std::string binarioDe(const std::string& xml);
// Runs a shell command line: what it printed and its wait status.
struct ResultadoDeOrden {
  std::string texto;
  int estado = -1;
};
ResultadoDeOrden ejecutarOrden(const std::string& orden);
// Every item below a folder, with its content (or link target).
std::set<std::string> arbol(const std::filesystem::path& raiz);
// Writes a file, creating its folders.
void escribirArchivo(const std::filesystem::path& ruta, const std::string& contenido);
// A minimal application bundle: Contents/Info.plist (the text given) and Contents/MacOS.
void crearPaquete(const std::filesystem::path& paquete, const std::string& infoPlist);
// An XML Info.plist with the given string entries.
std::string infoPlist(std::initializer_list<std::pair<std::string, std::string>> entradas);

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
