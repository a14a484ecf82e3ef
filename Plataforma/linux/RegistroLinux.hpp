#pragma once
#include <mutex>
#include <string>

#include "Plataforma/Registro.hpp"

namespace ovelmar {

// syslog(3), with the host's bundle identifier as ident.
class RegistroLinux : public Registro {
 public:
  explicit RegistroLinux(std::string ident) : ident_(std::move(ident)) {}
  void escribir(const std::string& linea) override;

 private:
  std::once_flag abierto_;
  std::string ident_;  // openlog keeps the pointer, so this must live on
};

}  // namespace ovelmar
