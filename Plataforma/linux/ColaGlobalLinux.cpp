#include "ColaGlobalLinux.hpp"

#include <chrono>
#include <thread>

namespace ovelmar {

void ColaGlobalLinux::enviar(std::function<void()> trabajo) {
  std::thread(std::move(trabajo)).detach();
}

void ColaGlobalLinux::enviarDespues(double segundos, std::function<void()> trabajo) {
  std::thread([segundos, t = std::move(trabajo)] {
    std::this_thread::sleep_for(std::chrono::duration<double>(segundos));
    t();
  }).detach();
}

}  // namespace ovelmar
