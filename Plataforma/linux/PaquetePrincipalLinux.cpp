#include "PaquetePrincipalLinux.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace ovelmar {

namespace fs = std::filesystem;

// An Info.plist larger than this is not a bundle's information dictionary.
constexpr std::uintmax_t kInfoMaxima = 16 * 1024 * 1024;

PaquetePrincipalLinux::PaquetePrincipalLinux(Propiedades& propiedades, std::string ejecutable)
    : propiedades_(propiedades), ejecutable_(std::move(ejecutable)) {
  if (ejecutable_.empty()) {
    std::error_code e;
    ejecutable_ = fs::read_symlink("/proc/self/exe", e).string();
  }
}

std::optional<std::string> PaquetePrincipalLinux::paqueteDe(const std::string& ejecutable) {
  fs::path p(ejecutable);
  fs::path macos = p.parent_path();
  fs::path contents = macos.parent_path();
  if (macos.filename() != "MacOS" || contents.filename() != "Contents") return std::nullopt;
  fs::path paquete = contents.parent_path();
  if (paquete.empty() || paquete == paquete.root_path()) return std::nullopt;
  return paquete.string();
}

std::optional<std::string> PaquetePrincipalLinux::ruta() {
  if (auto p = paqueteDe(ejecutable_)) return p;
  // Like a bare executable on macOS: its own folder stands for the bundle.
  if (ejecutable_.empty()) return std::nullopt;
  return fs::path(ejecutable_).parent_path().string();
}

std::optional<Diccionario> PaquetePrincipalLinux::info() {
  std::optional<std::string> p = paqueteDe(ejecutable_);
  if (!p) return std::nullopt;
  return leerInfoDePaquete(propiedades_, *p);
}

std::optional<Diccionario> leerInfoDePaquete(Propiedades& propiedades, const std::string& paquete) {
  fs::path info = fs::path(paquete) / "Contents" / "Info.plist";
  std::error_code e;
  if (!fs::is_regular_file(info, e) || fs::file_size(info, e) > kInfoMaxima || e)
    return std::nullopt;
  std::ifstream f(info, std::ios::binary);
  if (!f) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) return std::nullopt;
  std::optional<Valor> v = propiedades.leer(bytes);
  if (!v || !v->diccionario()) return std::nullopt;
  return *v->diccionario();
}

}  // namespace ovelmar
