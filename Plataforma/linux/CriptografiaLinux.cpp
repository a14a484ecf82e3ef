#include "CriptografiaLinux.hpp"

#include <openssl/evp.h>

namespace ovelmar {

namespace {

class ResumenLinux : public ResumenSha256 {
 public:
  explicit ResumenLinux(EVP_MD_CTX* contexto) : contexto_(contexto) {}
  ~ResumenLinux() override { EVP_MD_CTX_free(contexto_); }
  ResumenLinux(const ResumenLinux&) = delete;
  ResumenLinux& operator=(const ResumenLinux&) = delete;

  void anadir(const std::uint8_t* datos, std::size_t largo) override {
    EVP_DigestUpdate(contexto_, datos, largo);
  }
  std::array<std::uint8_t, 32> terminar() override {
    std::array<std::uint8_t, 32> resumen{};
    unsigned int largo = 0;
    EVP_DigestFinal_ex(contexto_, resumen.data(), &largo);
    return resumen;
  }

 private:
  EVP_MD_CTX* contexto_;
};

}  // namespace

std::unique_ptr<ResumenSha256> CriptografiaLinux::sha256() {
  EVP_MD_CTX* contexto = EVP_MD_CTX_new();
  if (!contexto || EVP_DigestInit_ex(contexto, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(contexto);
    return nullptr;
  }
  return std::make_unique<ResumenLinux>(contexto);
}

}  // namespace ovelmar
