#include "PreferenciasLinux.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace ovelmar {

namespace {

// The same rule as GLib's, but read afresh every time: a relative or empty
// XDG_CONFIG_HOME is ignored.
std::filesystem::path carpetaDeConfiguracion() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* casa = std::getenv("HOME");
  return std::filesystem::path(casa && casa[0] ? casa : "/") / ".config";
}

bool escribirAtomico(const std::string& ruta, const std::string& bytes) {
  std::string temporal = ruta + ".XXXXXX";
  int fd = mkostemp(temporal.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool bien = true;
  for (std::size_t hecho = 0; bien && hecho < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + hecho, bytes.size() - hecho);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      bien = false;
    else
      hecho += static_cast<std::size_t>(n);
  }
  bien = bien && fchmod(fd, 0600) == 0 && fsync(fd) == 0;
  bien = close(fd) == 0 && bien;
  bien = bien && rename(temporal.c_str(), ruta.c_str()) == 0;
  if (!bien) unlink(temporal.c_str());
  return bien;
}

}  // namespace

std::string PreferenciasLinux::ruta() const {
  return (carpetaDeConfiguracion() / (identificador_ + ".plist")).string();
}

Diccionario PreferenciasLinux::todo() const {
  std::ifstream f(ruta(), std::ios::binary);
  if (!f) return {};
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::optional<Valor> v = propiedades_.leer(bytes);
  const Diccionario* d = v ? v->diccionario() : nullptr;
  return d ? *d : Diccionario{};
}

std::optional<Valor> PreferenciasLinux::leer(const std::string& clave) {
  Diccionario d = todo();
  const Valor* v = buscar(d, clave);
  if (!v) return std::nullopt;
  return *v;
}

// Writing gives no result to check, as with the system's user defaults.
void PreferenciasLinux::escribir(const std::string& clave, const Valor& valor) {
  Diccionario d = todo();
  d[clave] = valor;
  std::string destino = ruta();
  std::error_code e;
  std::filesystem::create_directories(std::filesystem::path(destino).parent_path(), e);
  escribirAtomico(destino, propiedades_.escribirXml(Valor(std::move(d))));
}

}  // namespace ovelmar
