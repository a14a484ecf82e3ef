#include "PreferenciasLinux.hpp"

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

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

}  // namespace

std::string PreferenciasLinux::ruta() const {
  return (carpetaDeConfiguracion() / (identificador_ + ".plist")).string();
}

Diccionario PreferenciasLinux::todo() const {
  std::optional<std::vector<std::uint8_t>> bytes = archivos_.leer(ruta());
  if (!bytes) return {};
  std::optional<Valor> v = propiedades_.leer(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
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
  const std::string destino = ruta();
  archivos_.crearCarpetas(std::filesystem::path(destino).parent_path().string());
  const std::string xml = propiedades_.escribirXml(Valor(std::move(d)));
  archivos_.escribirAtomico(destino, std::vector<std::uint8_t>(xml.begin(), xml.end()));
}

}  // namespace ovelmar
