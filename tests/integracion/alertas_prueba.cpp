// The real GTK alert under a virtual X display, answered by the test itself.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Plataforma/linux/AlertasLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

// GTK's font library and D-Bus keep caches for the life of the process, which the leak
// checker of the sanitizer build reports; ours are still checked.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}

namespace ovelmar {
namespace {

namespace fs = std::filesystem;

// What the test does once the dialog is on screen.
struct Guion {
  Guion(std::string p, std::string c) : pulsar(std::move(p)), captura(std::move(c)) {}
  std::string pulsar;                  // label of the button to click; empty: close the window
  std::string captura;                 // where to save a screenshot; empty: none
  std::vector<std::string> etiquetas;  // labels of the buttons, left to right
  std::string mensaje, informativo;
  bool dibujado = false;
  int intentos = 0;
};

void buscarBotones(GtkWidget* w, std::vector<GtkWidget*>& botones) {
  if (GTK_IS_BUTTON(w)) botones.push_back(w);
  if (GTK_IS_CONTAINER(w)) {
    GList* hijos = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList* h = hijos; h; h = h->next) buscarBotones(GTK_WIDGET(h->data), botones);
    g_list_free(hijos);
  }
}

gboolean actuar(gpointer datos) {
  auto* dialogo = static_cast<GtkWidget*>(datos);
  auto* g = static_cast<Guion*>(g_object_get_data(G_OBJECT(dialogo), "guion"));
  // Bounded: give up (and close it) rather than hang the test.
  if (++g->intentos > 400) {
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
  GtkWidget* elegido = nullptr;
  for (GtkWidget* b : botones) {
    const gchar* etiqueta = gtk_button_get_label(GTK_BUTTON(b));
    g->etiquetas.emplace_back(etiqueta ? etiqueta : "");
    if (!g->pulsar.empty() && g->etiquetas.back() == g->pulsar) elegido = b;
  }
  if (!g->captura.empty()) {
    GdkWindow* ventana = gtk_widget_get_window(dialogo);
    GdkPixbuf* imagen = gdk_pixbuf_get_from_window(ventana, 0, 0, gdk_window_get_width(ventana),
                                                   gdk_window_get_height(ventana));
    if (imagen) {
      gdk_pixbuf_save(imagen, g->captura.c_str(), "png", nullptr, nullptr);
      g_object_unref(imagen);
    }
  }
  if (elegido)
    gtk_button_clicked(GTK_BUTTON(elegido));
  else
    gtk_window_close(GTK_WINDOW(dialogo));
  return G_SOURCE_REMOVE;
}

gboolean alDibujar(GtkWidget*, cairo_t*, gpointer datos) {
  static_cast<Guion*>(datos)->dibujado = true;
  return FALSE;
}

int mostrarCon(AlertasLinux& alertas, const Alerta& alerta, Guion& g) {
  alertas.alMostrar([&g](void* d) {
    GtkWidget* dialogo = static_cast<GtkWidget*>(d);
    g_object_set_data(G_OBJECT(dialogo), "guion", &g);
    g_signal_connect_after(dialogo, "draw", G_CALLBACK(alDibujar), &g);
    g_timeout_add(25, actuar, dialogo);
  });
  return alertas.mostrar(alerta);
}

// Spread of the grey levels: a blank or single-colour capture has none.
double variacion(const std::string& png) {
  GdkPixbuf* p = gdk_pixbuf_new_from_file(png.c_str(), nullptr);
  if (!p) return 0;
  const int ancho = gdk_pixbuf_get_width(p), alto = gdk_pixbuf_get_height(p);
  const int canales = gdk_pixbuf_get_n_channels(p), fila = gdk_pixbuf_get_rowstride(p);
  const guchar* px = gdk_pixbuf_get_pixels(p);
  double suma = 0, suma2 = 0;
  for (int y = 0; y < alto; ++y)
    for (int x = 0; x < ancho; ++x) {
      const guchar* c = px + y * fila + x * canales;
      double gris = (c[0] + c[1] + c[2]) / 3.0;
      suma += gris;
      suma2 += gris * gris;
    }
  g_object_unref(p);
  const double n = static_cast<double>(ancho) * alto;
  return n > 0 ? std::sqrt(suma2 / n - (suma / n) * (suma / n)) : 0;
}

TEST(AlertasLinux, ElDialogoRealRespondeConElBotonPulsado) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  // No accessibility bus under Xvfb; its bridge would only add noise (and leak reports).
  setenv("NO_AT_BRIDGE", "1", 1);
  pruebas::CarpetaTemporal t;
  AlertasLinux alertas;
  const Alerta prompt{"Install Kestra in Applications?",
                      "Kestra is running from the download. It takes a second.",
                      {"Install", "Not now"}};

  Guion g{"Install", (t.ruta() / "alerta.png").string()};
  EXPECT_EQ(mostrarCon(alertas, prompt, g), 0);
  EXPECT_EQ(g.mensaje, prompt.mensaje);
  EXPECT_EQ(g.informativo, prompt.informativo);
  // The first button is the rightmost, as on the desktop.
  EXPECT_EQ(g.etiquetas, (std::vector<std::string>{"Not now", "Install"}));
  EXPECT_GT(variacion(g.captura), 5.0);
  if (const char* copia = std::getenv("OVELMAR_CAPTURA_DE_ALERTA"))
    fs::copy_file(g.captura, copia, fs::copy_options::overwrite_existing);

  struct Caso {
    const char* nombre;
    Alerta alerta;
    std::string pulsar;
    int respuesta;
  };
  const Caso casos[] = {
      {"second button", prompt, "Not now", 1},
      {"closed", prompt, "", -1},
      {"labels kept as written", {"¿Instalo?", "", {"Sí_ya", "Ahora_no", "Otra"}}, "Ahora_no", 1},
      {"no buttons: the platform's own, closed", {"Could not install it", "Drag it.", {}}, "", -1},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    Guion gc{c.pulsar, ""};
    EXPECT_EQ(mostrarCon(alertas, c.alerta, gc), c.respuesta);
    EXPECT_EQ(gc.mensaje, c.alerta.mensaje);
    if (!c.alerta.botones.empty())
      EXPECT_EQ(gc.etiquetas.size(), c.alerta.botones.size());
    else
      EXPECT_EQ(gc.etiquetas.size(), 1u);
  }
  // The platform's single button, pressed: the first answer.
  alertas.alMostrar([&](void* d) {
    GtkWidget* dialogo = static_cast<GtkWidget*>(d);
    g_timeout_add(
        25,
        [](gpointer p) -> gboolean {
          auto* dialogo = static_cast<GtkWidget*>(p);
          if (!gtk_widget_get_mapped(dialogo)) return G_SOURCE_CONTINUE;
          std::vector<GtkWidget*> botones;
          buscarBotones(dialogo, botones);
          if (botones.size() == 1)
            gtk_button_clicked(GTK_BUTTON(botones.front()));
          else
            gtk_window_close(GTK_WINDOW(dialogo));
          return G_SOURCE_REMOVE;
        },
        dialogo);
  });
  EXPECT_EQ(alertas.mostrar({"Could not install it", "", {}}), 0);
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
