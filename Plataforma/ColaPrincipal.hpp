#pragma once
// The main thread and its queue. Work sent here runs later on the main thread, in order,
// never inside the call that sends it.

#include <functional>
#include <string_view>

namespace ovelmar {

class ColaPrincipal {
 public:
  virtual ~ColaPrincipal() = default;
  virtual bool esHiloPrincipal() = 0;
  // Safe to call from any thread.
  virtual void enviar(std::function<void()> trabajo) = 0;
  virtual void enviarDespues(double segundos, std::function<void()> trabajo) = 0;
  // Runs the main queue for that long (main thread only).
  virtual void correrDurante(double segundos) = 0;
};

// A call that must run on the main thread and does not is a programming error of the
// caller: it stops the process with a message naming the call, never runs.
void exigirHiloPrincipal(ColaPrincipal& cola, std::string_view llamada);

}  // namespace ovelmar
