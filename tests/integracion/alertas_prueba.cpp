// The real GTK alert under a virtual X display, answered by the test itself; and without a
// display, neither an alert nor a card.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Plataforma/linux/AlertasLinux.hpp"
#include "Plataforma/linux/PanelesLinux.hpp"

namespace ovelmar {
namespace {

// What the test does once the dialog is drawn on screen, and what it saw there.
struct Guion {
  std::string pulsar;  // label of the button to click; "*": the only one; empty: close
  std::vector<std::string> etiquetas{};  // labels of the buttons, left to right
  bool subrayado = false;                // whether any label reads "_" as a mnemonic
  std::string mensaje{}, informativo{};
  bool dibujado = false;
  int intentos = 0;
  GtkWidget* dialogo = nullptr;
};

void buscarBotones(GtkWidget* w, std::vector<GtkWidget*>& botones) {
  if (GTK_IS_BUTTON(w)) botones.push_back(w);
  if (!GTK_IS_CONTAINER(w)) return;
  GList* hijos = gtk_container_get_children(GTK_CONTAINER(w));
  for (GList* h = hijos; h; h = h->next) buscarBotones(GTK_WIDGET(h->data), botones);
  g_list_free(hijos);
}

gboolean actuar(gpointer datos) {
  auto* g = static_cast<Guion*>(datos);
  GtkWidget* dialogo = g->dialogo;
  if (++g->intentos > 400) {  // bounded: close it rather than hang the test
    gtk_dialog_response(GTK_DIALOG(dialogo), GTK_RESPONSE_DELETE_EVENT);
    return G_SOURCE_REMOVE;
  }
  if (!gtk_widget_get_mapped(dialogo) || !g->dibujado) return G_SOURCE_CONTINUE;
  gchar *mensaje = nullptr, *informativo = nullptr;
  g_object_get(dialogo, "text", &mensaje, "secondary-text", &informativo, nullptr);
  g->mensaje = mensaje ? mensaje : "";
  g->informativo = informativo ? informativo : "";
  g_free(mensaje);
  g_free(informativo);

  std::vector<GtkWidget*> botones;
  buscarBotones(dialogo, botones);
  GtkWidget* elegido = g->pulsar == "*" && botones.size() == 1 ? botones[0] : nullptr;
  for (GtkWidget* b : botones) {
    const gchar* etiqueta = gtk_button_get_label(GTK_BUTTON(b));
    g->etiquetas.emplace_back(etiqueta ? etiqueta : "");
    g->subrayado |= gtk_button_get_use_underline(GTK_BUTTON(b));
    if (g->etiquetas.back() == g->pulsar) elegido = b;
  }
  if (elegido)
    gtk_button_clicked(GTK_BUTTON(elegido));
  else
    gtk_window_close(GTK_WINDOW(dialogo));
  return G_SOURCE_REMOVE;
}

TEST(AlertasLinux, ElDialogoRealRespondeConElBotonPulsado) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  // No accessibility bus under Xvfb; its bridge would only add noise (and leak reports).
  setenv("NO_AT_BRIDGE", "1", 1);
  AlertasLinux alertas;
  const Alerta prompt{"Install Kestra in Applications?",
                      "Kestra is running from the download. It takes a second.",
                      {"Install", "Not now"}};
  const Alerta sinBotones{"Could not install it", "Drag it.", {}};
  struct Caso {
    const char* caso;
    Alerta alerta;
    std::string pulsar;
    int respuesta;
  };
  const Caso casos[] = {
      {"closed", prompt, "", -1},
      {"labels kept as written", {"¿Instalo?", "", {"Sí_ya", "Ahora_no", "Otra"}}, "Otra", 2},
      {"no buttons: the platform's own, closed", sinBotones, "", -1},
      {"no buttons: the platform's own, pressed", sinBotones, "*", 0},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Guion g{c.pulsar};
    alertas.alMostrar([&g](void* d) {
      g.dialogo = GTK_WIDGET(d);
      g_signal_connect_after(d, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer datos) {
                               static_cast<Guion*>(datos)->dibujado = true;
                               return FALSE;
                             }),
                             &g);
      g_timeout_add(25, actuar, &g);
    });
    EXPECT_EQ(alertas.mostrar(c.alerta), c.respuesta);
    EXPECT_EQ(g.mensaje, c.alerta.mensaje);
    EXPECT_EQ(g.informativo, c.alerta.informativo);
    // The first button is the rightmost, as on the desktop.
    const std::vector<std::string> etiquetas(c.alerta.botones.rbegin(), c.alerta.botones.rend());
    if (etiquetas.empty()) {
      EXPECT_EQ(g.etiquetas.size(), 1u);
    } else {
      EXPECT_EQ(g.etiquetas, etiquetas);
      EXPECT_FALSE(g.subrayado);
    }
  }
}

TEST(AlertasLinux, SinPantallaCuentaComoDescartadaYNoSeMuestraNingunaTarjeta) {
  // In a fresh process, where GTK has not started yet.
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        AlertasLinux alertas;
        int r = alertas.mostrar({"Install Kestra in Applications?", "", {"Install", "Not now"}});
        int otra = alertas.mostrar({"Could not install it", "", {}});
        const std::uint64_t tarjeta = PanelesLinux().mostrar(DescripcionDePanel(), [] {});
        std::exit(r == -1 && otra == -1 && tarjeta == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ovelmar
