#pragma once
// The platform's cryptography library. Safe to call from any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

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
};

}  // namespace ovelmar
