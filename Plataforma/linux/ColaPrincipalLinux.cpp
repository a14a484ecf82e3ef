#include "ColaPrincipalLinux.hpp"

#include <glib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace ovelmar {

namespace {

gboolean correrUnaVez(gpointer datos) {
  (*static_cast<std::function<void()>*>(datos))();
  return G_SOURCE_REMOVE;
}

void borrar(gpointer datos) {
  delete static_cast<std::function<void()>*>(datos);
}

void adjuntar(GSource* fuente, std::function<void()> trabajo) {
  g_source_set_callback(fuente, correrUnaVez, new std::function<void()>(std::move(trabajo)),
                        borrar);
  g_source_attach(fuente, nullptr);  // the default context
  g_source_unref(fuente);
}

// Seconds as a host may give them (negative, not a number, endless) within what the
// timers can hold.
double acotar(double segundos) {
  return segundos >= 0 ? std::min(segundos, 1e6) : 0.0;
}

}  // namespace

bool ColaPrincipalLinux::esHiloPrincipal() {
  return syscall(SYS_gettid) == getpid();
}

void ColaPrincipalLinux::enviar(std::function<void()> trabajo) {
  // An idle source of default priority: dispatched in the order of sending.
  GSource* fuente = g_idle_source_new();
  g_source_set_priority(fuente, G_PRIORITY_DEFAULT);
  adjuntar(fuente, std::move(trabajo));
}

void ColaPrincipalLinux::enviarDespues(double segundos, std::function<void()> trabajo) {
  auto ms = static_cast<guint>(std::ceil(acotar(segundos) * 1000.0));
  adjuntar(g_timeout_source_new(ms), std::move(trabajo));
}

void ColaPrincipalLinux::correrDurante(double segundos) {
  segundos = acotar(segundos);
  GMainContext* contexto = g_main_context_default();
  gint64 fin = g_get_monotonic_time() + static_cast<gint64>(segundos * 1e6);
  bool listo = false;
  GSource* alarma = g_timeout_source_new(static_cast<guint>(std::ceil(segundos * 1000.0)));
  g_source_set_callback(
      alarma,
      [](gpointer l) -> gboolean {
        *static_cast<bool*>(l) = true;
        return G_SOURCE_REMOVE;
      },
      &listo, nullptr);
  g_source_attach(alarma, contexto);
  while (!listo && g_get_monotonic_time() < fin) g_main_context_iteration(contexto, TRUE);
  g_source_destroy(alarma);
  g_source_unref(alarma);
}

}  // namespace ovelmar
