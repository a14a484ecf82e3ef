#pragma once
// A bundle's items against its seal: each file read once, hashed on two threads.

#include <optional>
#include <string>

#include "ManifiestoDeFirma.hpp"

namespace ovelmar {

// Opens `ruta` (plain names joined by "/") below the folder open as `raiz`, following no
// symbolic link on the way or at the end and never leaving that folder. -1 with errno
// set on failure.
int abrirDebajo(int raiz, const std::string& ruta, int banderas);

// A file descriptor closed when it goes out of scope (-1: none).
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor();
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The first difference, by path order, between the bundle open as `raiz` and its seal,
// as "<path> <what>"; empty when they agree. Strict: nothing may be added, and its own
// _CodeSignature folder holds only the signature's files. Nested bundles are left to
// their own seals.
std::optional<std::string> compararConElSello(int raiz, const Manifiesto& sello, bool estricto);

}  // namespace ovelmar
