#include "CarpetaTemporal.hpp"

#include <libdeflate.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ovelmar::pruebas {

namespace fs = std::filesystem;

CarpetaTemporal::CarpetaTemporal() {
  std::string plantilla = (fs::temp_directory_path() / "ovelmar-prueba-XXXXXX").string();
  if (!mkdtemp(plantilla.data())) throw std::runtime_error("mkdtemp");
  // Resolved, so that paths compare equal to what the component resolves.
  ruta_ = fs::canonical(plantilla);
}

CarpetaTemporal::~CarpetaTemporal() {
  std::error_code e;
  // Make everything writable again first, so that read-only test folders go too.
  for (auto it = fs::recursive_directory_iterator(ruta_, e); !e && it != fs::end(it);
       it.increment(e))
    if (!it->is_symlink())
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, e);
  fs::remove_all(ruta_, e);
}

std::string leerArchivo(const fs::path& ruta) {
  std::ifstream f(ruta, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string binarioDe(const std::string& xml) {
  plist_t raiz = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &raiz);
  char* bin = nullptr;
  std::uint32_t largo = 0;
  plist_to_bin(raiz, &bin, &largo);
  std::string r = bin ? std::string(bin, largo) : std::string();
  std::free(bin);
  plist_free(raiz);
  return r;
}

ResultadoDeOrden ejecutarOrden(const std::string& orden) {
  ResultadoDeOrden s;
  FILE* p = popen(orden.c_str(), "r");
  if (!p) return s;
  char trozo[512];
  while (std::fgets(trozo, sizeof trozo, p)) s.texto += trozo;
  s.estado = pclose(p);
  return s;
}

std::set<std::string> arbol(const fs::path& raiz) {
  std::set<std::string> r;
  for (auto it = fs::recursive_directory_iterator(raiz); it != fs::recursive_directory_iterator();
       ++it) {
    std::string e = fs::relative(it->path(), raiz).string();
    if (it->is_symlink())
      e += " -> " + fs::read_symlink(it->path()).string();
    else if (it->is_regular_file())
      e += " = " + leerArchivo(it->path());
    r.insert(e);
  }
  return r;
}

void escribirArchivo(const fs::path& ruta, const std::string& contenido) {
  fs::create_directories(ruta.parent_path());
  std::ofstream(ruta, std::ios::binary) << contenido;
}

void crearPaquete(const fs::path& paquete, const std::string& info) {
  fs::create_directories(paquete / "Contents" / "MacOS");
  escribirArchivo(paquete / "Contents" / "Info.plist", info);
}

std::string infoPlist(std::initializer_list<std::pair<std::string, std::string>> entradas) {
  std::string t = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [clave, valor] : entradas)
    t += "<key>" + clave + "</key><string>" + valor + "</string>\n";
  return t + "</dict>\n</plist>\n";
}

std::string zip(const std::vector<EntradaZip>& entradas, std::uint64_t declaradas) {
  auto n = [](std::string& s, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> 8 * i);
  };
  std::string locales, central, fin;
  for (const EntradaZip& e : entradas) {
    std::string datos = e.datos;
    if (e.desinflar) {
      libdeflate_compressor* c = libdeflate_alloc_compressor(1);
      datos.resize(libdeflate_deflate_compress_bound(c, e.datos.size()));
      datos.resize(libdeflate_deflate_compress(c, e.datos.data(), e.datos.size(), datos.data(),
                                               datos.size()));
      libdeflate_free_compressor(c);
    }
    std::string comun;  // version, UTF-8 flag, method, time, crc, sizes, name length
    n(comun, 20, 2), n(comun, 1 << 11, 2), n(comun, e.desinflar ? 8 : 0, 2), n(comun, 0, 4);
    n(comun, libdeflate_crc32(0, e.datos.data(), e.datos.size()), 4), n(comun, datos.size(), 4);
    n(comun, e.declarado ? e.declarado : e.datos.size(), 4), n(comun, e.nombre.size(), 2);
    n(central, 0x02014b50, 4), n(central, 0x031e, 2), central += comun, n(central, 0, 8);
    n(central, std::uint64_t{e.modo} << 16, 4), n(central, locales.size(), 4);
    central += e.nombre;
    n(locales, 0x04034b50, 4), locales += comun, n(locales, 0, 2), locales += e.nombre + datos;
  }
  const std::uint64_t cuantas = declaradas ? declaradas : entradas.size();
  if (cuantas > 0xFFFF) {  // the 64-bit end record and its locator
    n(fin, 0x06064b50, 4), n(fin, 44, 8), n(fin, 45, 4), n(fin, 0, 8), n(fin, cuantas, 8);
    n(fin, cuantas, 8), n(fin, central.size(), 8), n(fin, locales.size(), 8);
    n(fin, 0x07064b50, 4), n(fin, 0, 4), n(fin, locales.size() + central.size(), 8), n(fin, 1, 4);
  }
  n(fin, 0x06054b50, 4), n(fin, 0, 4), n(fin, std::min<std::uint64_t>(cuantas, 0xFFFF), 2);
  n(fin, std::min<std::uint64_t>(cuantas, 0xFFFF), 2), n(fin, central.size(), 4);
  n(fin, locales.size(), 4), n(fin, 0, 2);
  return locales + central + fin;
}

void zipDe(const std::filesystem::path& carpeta, const std::filesystem::path& zip) {
  ejecutarOrden("cd '" + carpeta.string() + "' && zip -qry '" + zip.string() + "' .");
}

}  // namespace ovelmar::pruebas
