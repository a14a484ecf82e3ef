#include "ZipDePrueba.hpp"

#include <libdeflate.h>

#include <algorithm>

#include "CarpetaTemporal.hpp"

namespace ovelmar::pruebas {

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
