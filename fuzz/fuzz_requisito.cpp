// Requirement texts: arbitrary bytes through the compiler, and every compiled requirement
// judged against signature facts that meet none of its certificate clauses.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Plataforma/linux/RequisitoDeCodigoLinux.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo) {
  using namespace ovelmar;
  std::string_view texto(reinterpret_cast<const char*>(datos), largo);
  std::unique_ptr<RequisitoDeCodigoLinux> requisito;
  std::string error;
  std::int32_t estado = RequisitoDeCodigoLinux::compilar(texto, requisito, error);
  // A status of the language's, an object exactly on success, a reason otherwise.
  if ((estado == 0) != (requisito != nullptr) || (estado != 0 && error.empty()) ||
      (estado != 0 && estado != FirmaDeCodigo::errSecCSReqInvalid &&
       estado != FirmaDeCodigo::errSecCSReqUnsupported))
    __builtin_trap();
  if (requisito) {
    const std::string identificador(texto.substr(0, 16));
    HechosDeFirma hechos{identificador, nullptr, false, "no ticket"};
    (void)requisito->incumplida(hechos);
  }
  return 0;
}
