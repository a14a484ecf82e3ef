#include "CriptografiaLinux.hpp"

#include <openssl/evp.h>

#include <climits>

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

namespace {

// The value of a base64 digit, or -1.
int cifraBase64(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> CriptografiaLinux::desdeBase64(std::string_view texto) {
  // OpenSSL's block decoder skips spaces and line breaks, takes "=" anywhere and counts
  // the padding as bytes: the form is checked here first, so that one text means one value.
  if (texto.size() % 4 != 0 || texto.size() > static_cast<std::size_t>(INT_MAX))
    return std::nullopt;
  const std::size_t relleno = texto.ends_with("==") ? 2 : texto.ends_with("=") ? 1 : 0;
  const std::string_view cifras = texto.substr(0, texto.size() - relleno);
  for (char c : cifras)
    if (cifraBase64(c) < 0) return std::nullopt;
  // The bits past the last whole byte must be zero, or two texts would decode alike.
  if (relleno == 2 && (cifraBase64(cifras.back()) & 0x0f) != 0) return std::nullopt;
  if (relleno == 1 && (cifraBase64(cifras.back()) & 0x03) != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes(texto.size() / 4 * 3);
  if (texto.empty()) return bytes;
  const int escritos =
      EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(texto.data()),
                      static_cast<int>(texto.size()));
  if (escritos < 0 || static_cast<std::size_t>(escritos) != bytes.size()) return std::nullopt;
  bytes.resize(bytes.size() - relleno);
  return bytes;
}

bool CriptografiaLinux::verificarEd25519(std::span<const std::uint8_t> clave,
                                         std::span<const std::uint8_t> mensaje,
                                         std::span<const std::uint8_t> firma) {
  if (clave.size() != 32 || firma.size() != 64) return false;
  EVP_PKEY* publica =
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, clave.data(), clave.size());
  EVP_MD_CTX* contexto = publica ? EVP_MD_CTX_new() : nullptr;
  // Ed25519 hashes the message itself: no digest is named.
  const bool valida =
      contexto && EVP_DigestVerifyInit(contexto, nullptr, nullptr, nullptr, publica) == 1 &&
      EVP_DigestVerify(contexto, firma.data(), firma.size(), mensaje.data(), mensaje.size()) == 1;
  EVP_MD_CTX_free(contexto);
  EVP_PKEY_free(publica);
  return valida;
}

}  // namespace ovelmar
