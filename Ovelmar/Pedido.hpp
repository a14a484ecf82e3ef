#pragma once
// An update request, as accepted by ReglasDeActualizacion::leerPedido.

#include <cstdint>
#include <optional>
#include <string>

namespace ovelmar {

struct Pedido {
  std::string url;     // https, with a host
  std::string sha256;  // 64 lower-case hexadecimal digits
  std::int64_t build = 0;
  std::int64_t tamano = 0;
  // The build a delta archive was made from; empty for a whole bundle.
  std::optional<std::int64_t> base{};
  // The archive's signature as the request gave it (base64 text); empty text when the
  // value was no text or too long to be one. Only a host with a public key asks for it.
  std::optional<std::string> firmaDelArchivo = std::nullopt;

  bool operator==(const Pedido&) const = default;
};

}  // namespace ovelmar
