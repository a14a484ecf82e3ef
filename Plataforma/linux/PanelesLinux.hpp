#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "Plataforma/Paneles.hpp"

namespace ovelmar {

// Cards as GTK 3 windows: undecorated, kept above, on every workspace, out of the task
// bar and the window switcher, never focused when they appear. A click on the card lets
// it take keys, as a panel becomes key when clicked, so that its button's key works; it
// gives them up again when it loses the focus. Dragging the background moves it. Without
// a display, or off the main thread, nothing is shown.
class PanelesLinux : public Paneles {
 public:
  PanelesLinux() = default;
  ~PanelesLinux() override;
  PanelesLinux(const PanelesLinux&) = delete;
  PanelesLinux& operator=(const PanelesLinux&) = delete;

  std::uint64_t mostrar(const DescripcionDePanel& descripcion,
                        std::function<void()> alCerrar) override;
  void cerrar(std::uint64_t panel) override;

  // What GTK can show of any bytes: valid UTF-8 without control characters. A single
  // line turns line breaks and tabs into spaces; several lines keep their line breaks.
  static std::string mostrable(const std::string& texto, bool variasLineas);

  struct Tarjeta;

 private:
  friend struct Tarjeta;
  std::map<std::uint64_t, Tarjeta*> tarjetas_;
  std::uint64_t siguiente_ = 1;
};

}  // namespace ovelmar
