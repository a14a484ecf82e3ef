#include "AlertasLinux.hpp"

#include <gtk/gtk.h>

#include <cstddef>

#include "ColaPrincipalLinux.hpp"

namespace ovelmar {

bool AlertasLinux::gtkDisponible() {
  // Only the main thread starts GTK or uses it, so no lock is needed. gtk_init would end
  // the process without a display; gtk_init_check just says no.
  static int estado = -1;  // -1 not tried yet, 0 no display, 1 ready
  if (!ColaPrincipalLinux().esHiloPrincipal()) return estado == 1;
  if (estado < 0) estado = gtk_init_check(nullptr, nullptr) ? 1 : 0;
  return estado == 1;
}

int AlertasLinux::mostrar(const Alerta& alerta) {
  if (!ColaPrincipalLinux().esHiloPrincipal() || !gtkDisponible()) return -1;

  const bool sinBotones = alerta.botones.empty();
  GtkWidget* dialogo = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                              sinBotones ? GTK_BUTTONS_OK : GTK_BUTTONS_NONE, "%s",
                                              alerta.mensaje.c_str());
  if (!alerta.informativo.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialogo), "%s",
                                             alerta.informativo.c_str());
  // Labels are shown as given: no mnemonics, so an "_" in a text stays an "_". The first
  // button is the default and, as on the desktop, the rightmost; GTK packs them left to
  // right, so they go in last first.
  for (std::size_t i = alerta.botones.size(); i-- > 0;) {
    GtkWidget* boton = gtk_button_new_with_label(alerta.botones[i].c_str());
    gtk_widget_set_can_default(boton, TRUE);
    gtk_widget_show(boton);
    gtk_dialog_add_action_widget(GTK_DIALOG(dialogo), boton, static_cast<gint>(i));
  }
  gtk_dialog_set_default_response(GTK_DIALOG(dialogo), sinBotones ? GTK_RESPONSE_OK : 0);
  gtk_window_set_position(GTK_WINDOW(dialogo), GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(GTK_WINDOW(dialogo), TRUE);

  if (gancho_) gancho_(dialogo);
  gint respuesta = gtk_dialog_run(GTK_DIALOG(dialogo));
  gtk_widget_destroy(dialogo);
  // Let the window really go away before the caller goes on.
  for (int i = 0; i < 100 && gtk_events_pending(); ++i) gtk_main_iteration_do(FALSE);

  if (sinBotones) return respuesta == GTK_RESPONSE_OK ? 0 : -1;
  if (respuesta >= 0 && static_cast<std::size_t>(respuesta) < alerta.botones.size())
    return respuesta;
  return -1;
}

}  // namespace ovelmar
