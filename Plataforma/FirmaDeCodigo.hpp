#pragma once
// Code signing: a static code object for a bundle, a compiled requirement, and the
// validation of the one against the other. Statuses are the platform's numbers (0 is
// success) on every platform, so that log lines read the same everywhere. Safe to call
// from any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace ovelmar {

// What the two creating calls hand back; only the implementation looks inside.
class CodigoEstatico {
 public:
  virtual ~CodigoEstatico() = default;
};
class RequisitoDeCodigo {
 public:
  virtual ~RequisitoDeCodigo() = default;
};

// What the seal of a bundle and of the bundles nested in it names, paths relative to the
// bundle folder (plain names joined by "/"): files with their permission bits, links with
// their targets, folders. The signature's own files are not part of it.
struct ContenidoSellado {
  std::map<std::string, std::uint32_t> archivos;
  std::map<std::string, std::string> enlaces;
  std::set<std::string> carpetas;
};

class FirmaDeCodigo {
 public:
  // Validation flags.
  static constexpr std::uint32_t kSecCSCheckAllArchitectures = 0x1;
  static constexpr std::uint32_t kSecCSCheckNestedCode = 0x8;
  static constexpr std::uint32_t kSecCSStrictValidate = 0x10;

  // Statuses.
  static constexpr std::int32_t errSecSuccess = 0;
  static constexpr std::int32_t errSecCSUnsigned = -67062;
  static constexpr std::int32_t errSecCSSignatureFailed = -67061;
  static constexpr std::int32_t errSecCSSignatureNotVerifiable = -67060;
  static constexpr std::int32_t errSecCSResourcesNotSealed = -67057;
  static constexpr std::int32_t errSecCSResourcesNotFound = -67056;
  static constexpr std::int32_t errSecCSResourcesInvalid = -67055;
  static constexpr std::int32_t errSecCSBadResource = -67054;
  static constexpr std::int32_t errSecCSReqInvalid = -67052;
  static constexpr std::int32_t errSecCSReqUnsupported = -67051;
  static constexpr std::int32_t errSecCSReqFailed = -67050;
  static constexpr std::int32_t errSecCSSignatureInvalid = -67045;
  static constexpr std::int32_t errSecCSUnsignedNestedCode = -67022;
  static constexpr std::int32_t errSecCSInvalidFlags = -67070;
  static constexpr std::int32_t errSecCSStaticCodeNotFound = -67068;

  virtual ~FirmaDeCodigo() = default;
  // A static code object for the bundle at `ruta`; `codigo` is set only on success.
  virtual std::int32_t crearCodigoEstatico(const std::string& ruta, std::uint32_t banderas,
                                           std::unique_ptr<CodigoEstatico>& codigo) = 0;
  // The requirement compiled from its text; `requisito` is set only on success.
  virtual std::int32_t crearRequisito(const std::string& texto, std::uint32_t banderas,
                                      std::unique_ptr<RequisitoDeCodigo>& requisito) = 0;
  // Validates the code, and that it meets `requisito` when one is given. On failure
  // `error` holds one line in English naming the first thing that failed.
  virtual std::int32_t comprobarValidez(const CodigoEstatico& codigo, std::uint32_t banderas,
                                        const RequisitoDeCodigo* requisito,
                                        std::optional<std::string>& error) = 0;
  // The bundle's sealed content as its seals say, read without validating them (the
  // validation comes after); empty when a seal is missing or malformed.
  virtual std::optional<ContenidoSellado> contenidoSellado(const std::string& paquete) {
    (void)paquete;
    return std::nullopt;
  }
};

}  // namespace ovelmar
