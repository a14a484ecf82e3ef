#include "AdministradorLinux.hpp"

#include <variant>

namespace ovelmar {

namespace {

// pkexec's status when the user dismissed the authentication dialog.
constexpr int kPkexecDescartado = 126;

}  // namespace

std::optional<std::string> AdministradorLinux::ordenDeGuion(const std::string& fuente) {
  const std::string inicio = "do shell script \"";
  const std::string fin = "\" with administrator privileges";
  if (!fuente.starts_with(inicio)) return std::nullopt;
  std::string orden;
  std::size_t i = inicio.size();
  for (;; ++i) {
    if (i >= fuente.size()) return std::nullopt;  // the string never closes
    char c = fuente[i];
    if (c == '"') break;
    if (c == '\\') {
      // Only the two escapes the component writes; anything else is another script.
      if (i + 1 >= fuente.size() || (fuente[i + 1] != '\\' && fuente[i + 1] != '"'))
        return std::nullopt;
      c = fuente[++i];
    }
    orden += c;
  }
  if (fuente.compare(i, std::string::npos, fin) != 0) return std::nullopt;
  return orden;
}

ResultadoDeGuion AdministradorLinux::ejecutarAppleScript(const std::string& fuente) {
  std::optional<std::string> orden = ordenDeGuion(fuente);
  if (!orden) return ResultadoDeGuion{false, false, std::nullopt};
  // ejecutar() resolves "pkexec" through the tool table; the command is mapped here
  // because ejecutar() maps only scripts given to "/bin/sh" itself.
  std::variant<int, Error> r =
      procesos_.ejecutar("pkexec", {"/bin/sh", "-c", procesos_.traducirGuion(*orden)});
  if (std::holds_alternative<Error>(r)) return ResultadoDeGuion{true, true, std::nullopt};
  int estado = std::get<int>(r);
  if (estado == 0) return ResultadoDeGuion{};
  if (estado == kPkexecDescartado) return ResultadoDeGuion{true, true, cancelado};
  return ResultadoDeGuion{true, true, estado};
}

}  // namespace ovelmar
