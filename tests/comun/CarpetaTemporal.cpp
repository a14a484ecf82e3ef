#include "CarpetaTemporal.hpp"

#include <plist/plist.h>

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

}  // namespace ovelmar::pruebas
