#pragma once
// Wall-clock time.

namespace ovelmar {

class Reloj {
 public:
  virtual ~Reloj() = default;
  // Seconds since 1970-01-01 00:00 UTC, with fraction.
  virtual double ahora() = 0;
};

}  // namespace ovelmar
