#pragma once
#include "Plataforma/Criptografia.hpp"

namespace ovelmar {

// OpenSSL's EVP interface, which uses the CPU's SHA instructions where there are some.
class CriptografiaLinux : public Criptografia {
 public:
  std::unique_ptr<ResumenSha256> sha256() override;
  std::optional<std::vector<std::uint8_t>> desdeBase64(std::string_view texto) override;
  bool verificarEd25519(std::span<const std::uint8_t> clave, std::span<const std::uint8_t> mensaje,
                        std::span<const std::uint8_t> firma) override;
};

}  // namespace ovelmar
