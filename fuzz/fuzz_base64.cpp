// Base64 texts as a request's "firmaDelArchivo" or an Info.plist's "OvelmarClavePublica"
// carry them: arbitrary bytes through the strict decoder, whose every answer must be the
// one canonical text of its bytes, and through Ed25519 verification as key and signature.

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Plataforma/linux/CriptografiaLinux.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
  using namespace ovelmar;
  static CriptografiaLinux cripto;
  const std::string_view texto(reinterpret_cast<const char*>(datos), largo);
  if (std::optional<std::vector<std::uint8_t>> bytes = cripto.desdeBase64(texto)) {
    std::string otra(4 * ((bytes->size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(otra.data()), bytes->data(),
                                  static_cast<int>(bytes->size()));
    if (std::string_view(otra.data(), static_cast<std::size_t>(n)) != texto) __builtin_trap();
  }
  if (largo >= 96) {
    const std::span<const std::uint8_t> todo(datos, largo);
    (void)cripto.verificarEd25519(todo.first(32), todo.subspan(96), todo.subspan(32, 64));
  }
  return 0;
}
