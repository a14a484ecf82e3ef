#pragma once
// The platform's cryptography library. Safe to call from any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace ovelmar {

// A SHA-256 fed piece by piece.
class ResumenSha256 {
 public:
  virtual ~ResumenSha256() = default;
  virtual void anadir(const std::uint8_t* datos, std::size_t largo) = 0;
  // The digest of everything added; the object is spent afterwards.
  virtual std::array<std::uint8_t, 32> terminar() = 0;
};

class Criptografia {
 public:
  virtual ~Criptografia() = default;
  // Empty when the library cannot make one.
  virtual std::unique_ptr<ResumenSha256> sha256() = 0;
  // The bytes of a base64 text in its one canonical form: the standard alphabet, "="
  // padding to a multiple of four, unused bits zero, no spaces or line breaks. Empty for
  // any other text.
  virtual std::optional<std::vector<std::uint8_t>> desdeBase64(std::string_view texto) = 0;
  // Whether `firma` (64 bytes) is the Ed25519 signature of `mensaje` by the raw public
  // key `clave` (32 bytes). False for a key or signature of any other size.
  virtual bool verificarEd25519(std::span<const std::uint8_t> clave,
                                std::span<const std::uint8_t> mensaje,
                                std::span<const std::uint8_t> firma) = 0;
};

}  // namespace ovelmar
