#pragma once
#include <functional>

#include "Plataforma/Alertas.hpp"

namespace ovelmar {

// A modal GTK 3 message dialog. GTK is started once per process, on the main thread,
// with gtk_init_check: without a display an alert counts as dismissed (-1).
class AlertasLinux : public Alertas {
 public:
  int mostrar(const Alerta& alerta) override;

  // Whether GTK runs in this process; starts it on the first call from the main thread.
  static bool gtkDisponible();

  // For tests: called with the dialog (a GtkDialog*) just before it runs modally, so a
  // test can answer it.
  void alMostrar(std::function<void(void* dialogo)> gancho) { gancho_ = std::move(gancho); }

 private:
  std::function<void(void*)> gancho_;
};

}  // namespace ovelmar
