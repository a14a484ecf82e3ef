// The real GTK alert under a virtual X display, answered by the test itself.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "Plataforma/linux/AlertasLinux.hpp"

// GTK's font library and D-Bus keep caches for the life of the process, which the leak
// checker of the sanitizer build reports; ours are still checked.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}

namespace ovelmar {
namespace {

// What the test does once the dialog is on screen, and what it saw there.
struct Guion {
  Guion(std::string p, bool c = false) : pulsar(std::move(p)), capturar(c) {}
  std::string pulsar;  // label of the button to click; "*": the only one; empty: close
  bool capturar = false;
  double variacion = 0;                // spread of the grey levels of the capture
  std::vector<std::string> etiquetas;  // labels of the buttons, left to right
  bool subrayado = false;              // whether any label reads "_" as a mnemonic
  std::string mensaje, informativo;
  bool dibujado = false;
  int intentos = 0;
};

void buscarBotones(GtkWidget* w, std::vector<GtkWidget*>& botones) {
  if (GTK_IS_BUTTON(w)) botones.push_back(w);
  if (!GTK_IS_CONTAINER(w)) return;
  GList* hijos = gtk_container_get_children(GTK_CONTAINER(w));
  for (GList* h = hijos; h; h = h->next) buscarBotones(GTK_WIDGET(h->data), botones);
  g_list_free(hijos);
}

// Spread of the grey levels: a blank or single-colour capture has none.
double variacion(GdkPixbuf* p) {
  const int ancho = gdk_pixbuf_get_width(p), alto = gdk_pixbuf_get_height(p);
  const int canales = gdk_pixbuf_get_n_channels(p), fila = gdk_pixbuf_get_rowstride(p);
  const double n = static_cast<double>(ancho) * alto;
  double suma = 0, suma2 = 0;
  for (int y = 0; y < alto; ++y)
    for (int x = 0; x < ancho; ++x) {
      const guchar* c = gdk_pixbuf_get_pixels(p) + y * fila + x * canales;
      const double gris = (c[0] + c[1] + c[2]) / 3.0;
      suma += gris;
      suma2 += gris * gris;
    }
  return n > 0 ? std::sqrt(suma2 / n - (suma / n) * (suma / n)) : 0;
}

gboolean actuar(gpointer datos) {
  auto* dialogo = static_cast<GtkWidget*>(datos);
  auto* g = static_cast<Guion*>(g_object_get_data(G_OBJECT(dialogo), "guion"));
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
  GdkWindow* v = gtk_widget_get_window(dialogo);
  GdkPixbuf* imagen = g->capturar ? gdk_pixbuf_get_from_window(v, 0, 0, gdk_window_get_width(v),
                                                               gdk_window_get_height(v))
                                  : nullptr;
  if (imagen) {
    g->variacion = variacion(imagen);
    if (const char* copia = std::getenv("OVELMAR_CAPTURA_DE_ALERTA"))
      gdk_pixbuf_save(imagen, copia, "png", nullptr, nullptr);
    g_object_unref(imagen);
  }
  if (elegido)
    gtk_button_clicked(GTK_BUTTON(elegido));
  else
    gtk_window_close(GTK_WINDOW(dialogo));
  return G_SOURCE_REMOVE;
}

int mostrarCon(AlertasLinux& alertas, const Alerta& alerta, Guion& g) {
  alertas.alMostrar([&g](void* d) {
    g_object_set_data(G_OBJECT(d), "guion", &g);
    g_signal_connect_after(d, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer datos) {
                             static_cast<Guion*>(datos)->dibujado = true;
                             return FALSE;
                           }),
                           &g);
    g_timeout_add(25, actuar, d);
  });
  return alertas.mostrar(alerta);
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
      {"first button", prompt, "Install", 0},
      {"second button", prompt, "Not now", 1},
      {"closed", prompt, "", -1},
      {"labels kept as written", {"¿Instalo?", "", {"Sí_ya", "Ahora_no", "Otra"}}, "Ahora_no", 1},
      {"no buttons: the platform's own, closed", sinBotones, "", -1},
      {"no buttons: the platform's own, pressed", sinBotones, "*", 0},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Guion g{c.pulsar, &c == casos};
    EXPECT_EQ(mostrarCon(alertas, c.alerta, g), c.respuesta);
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
    EXPECT_TRUE(!g.capturar || g.variacion > 5.0) << "not really drawn: " << g.variacion;
  }
}

TEST(AlertasLinux, SinPantallaCuentaComoDescartada) {
  // In a fresh process, where GTK has not started yet.
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        AlertasLinux alertas;
        int r = alertas.mostrar({"Install Kestra in Applications?", "", {"Install", "Not now"}});
        int otra = alertas.mostrar({"Could not install it", "", {}});
        std::exit(r == -1 && otra == -1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ovelmar
