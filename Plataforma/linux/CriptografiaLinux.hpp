#pragma once
#include "Plataforma/Criptografia.hpp"

namespace ovelmar {

// OpenSSL's EVP interface, which uses the CPU's SHA instructions where there are some.
class CriptografiaLinux : public Criptografia {
 public:
  std::unique_ptr<ResumenSha256> sha256() override;
};

}  // namespace ovelmar
