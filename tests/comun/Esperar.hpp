#pragma once
// Bounded waiting for something another process does.

#include <chrono>
#include <functional>
#include <thread>

namespace ovelmar::pruebas {

// Polls `hecho` until it is true or `segundos` have passed; whether it became true.
inline bool esperarA(const std::function<bool()>& hecho, double segundos = 20) {
  const auto limite = std::chrono::steady_clock::now() + std::chrono::duration<double>(segundos);
  while (!hecho()) {
    if (std::chrono::steady_clock::now() >= limite) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace ovelmar::pruebas
