#include "PanelesLinux.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "AlertasLinux.hpp"
#include "ColaPrincipalLinux.hpp"

namespace ovelmar {

struct PanelesLinux::Tarjeta {
  PanelesLinux* dueno = nullptr;
  std::uint64_t id = 0;
  GtkWidget* ventana = nullptr;
  GtkWidget* boton = nullptr;
  char32_t equivalente = 0;
  double radio = 0;
  std::function<void()> alCerrar;
  int anchoRecortado = -1, altoRecortado = -1;
  bool compuestaRecortada = false;
};

namespace {

using Tarjeta = PanelesLinux::Tarjeta;

// The heads-up background: dark, and translucent where a compositor blends it.
constexpr GdkRGBA kFondo{0.11, 0.11, 0.12, 0.84};
constexpr GdkRGBA kFondoOpaco{0.15, 0.15, 0.16, 1.0};
constexpr GdkRGBA kBorde{1, 1, 1, 0.13};
// Text on that background, by role.
constexpr GdkRGBA kEtiqueta{1, 1, 1, 0.90};
constexpr GdkRGBA kEtiquetaSecundaria{1, 1, 1, 0.64};
// When the theme names no selection colour: the usual system blue of dark surfaces.
constexpr GdkRGBA kAcento{0.04, 0.52, 1.0, 1.0};

// The card's own look, scoped to its windows so that the host's widgets keep theirs.
constexpr const char* kEstilo = R"(
window.ovelmar-tarjeta scrolledwindow, window.ovelmar-tarjeta viewport {
  background: none; border: none; box-shadow: none;
}
window.ovelmar-tarjeta undershoot, window.ovelmar-tarjeta overshoot {
  background: none; box-shadow: none;
}
window.ovelmar-tarjeta button {
  background-image: none; background-color: rgba(255, 255, 255, 0.15);
  border: 1px solid rgba(255, 255, 255, 0.10); border-radius: 6px; box-shadow: none;
  color: rgba(255, 255, 255, 0.92); text-shadow: none; -gtk-icon-shadow: none;
  font-size: 13px; min-height: 24px; min-width: 52px; padding: 1px 14px; outline: none;
}
window.ovelmar-tarjeta button:hover { background-color: rgba(255, 255, 255, 0.22); }
window.ovelmar-tarjeta button:active { background-color: rgba(255, 255, 255, 0.30); }
)";

// The desktop's accent where the theme names one, light enough to read on the card.
GdkRGBA acento(GtkWidget* ventana) {
  GdkRGBA c = kAcento;
  GdkRGBA delTema;
  if (gtk_style_context_lookup_color(gtk_widget_get_style_context(ventana),
                                     "theme_selected_bg_color", &delTema))
    c = delTema;
  const double luz = 0.2126 * c.red + 0.7152 * c.green + 0.0722 * c.blue;
  constexpr double kLuzMinima = 0.3;
  if (luz < kLuzMinima) {
    const double k = (kLuzMinima - luz) / (1 - luz);
    c = {c.red + (1 - c.red) * k, c.green + (1 - c.green) * k, c.blue + (1 - c.blue) * k, 1};
  }
  c.alpha = 1;
  return c;
}

guint16 canal(double v) {
  return static_cast<guint16>(std::lround(std::clamp(v, 0.0, 1.0) * 65535));
}

GtkWidget* etiqueta(const Etiqueta& e, const GdkRGBA& color) {
  GtkWidget* w = gtk_label_new(PanelesLinux::mostrable(e.texto, e.anchoMaximo > 0).c_str());
  GtkLabel* l = GTK_LABEL(w);
  PangoAttrList* a = pango_attr_list_new();
  pango_attr_list_insert(a, pango_attr_size_new_absolute(
                                static_cast<int>(std::lround(e.fuente.tamano * PANGO_SCALE))));
  pango_attr_list_insert(a, pango_attr_weight_new(static_cast<PangoWeight>(e.fuente.peso)));
  if (e.fuente.cifrasMonoespaciadas)
    pango_attr_list_insert(a, pango_attr_font_features_new("tnum"));
  pango_attr_list_insert(
      a, pango_attr_foreground_new(canal(color.red), canal(color.green), canal(color.blue)));
  pango_attr_list_insert(a, pango_attr_foreground_alpha_new(canal(color.alpha)));
  gtk_label_set_attributes(l, a);
  pango_attr_list_unref(a);
  gtk_label_set_xalign(l, 0);
  if (e.anchoMaximo > 0) {
    gtk_label_set_line_wrap(l, TRUE);
    gtk_label_set_line_wrap_mode(l, PANGO_WRAP_WORD_CHAR);
  } else {
    gtk_label_set_single_line_mode(l, TRUE);
    gtk_label_set_ellipsize(l, PANGO_ELLIPSIZE_END);
  }
  return w;
}

GdkRGBA colorDe(ColorDeTexto rol, const GdkRGBA& delAcento) {
  switch (rol) {
    case ColorDeTexto::etiqueta:
      return kEtiqueta;
    case ColorDeTexto::etiquetaSecundaria:
      return kEtiquetaSecundaria;
    case ColorDeTexto::acento:
      return delAcento;
  }
  return kEtiqueta;
}

int entero(double v) {
  return static_cast<int>(std::lround(v));
}

void redondeado(cairo_t* cr, double x, double y, double ancho, double alto, double radio) {
  radio = std::min({radio, ancho / 2, alto / 2});
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + ancho - radio, y + radio, radio, -G_PI / 2, 0);
  cairo_arc(cr, x + ancho - radio, y + alto - radio, radio, 0, G_PI / 2);
  cairo_arc(cr, x + radio, y + alto - radio, radio, G_PI / 2, G_PI);
  cairo_arc(cr, x + radio, y + radio, radio, G_PI, 3 * G_PI / 2);
  cairo_close_path(cr);
}

bool compuesta(GtkWidget* w) {
  return gdk_screen_is_composited(gtk_widget_get_screen(w));
}

gboolean dibujar(GtkWidget* w, cairo_t* cr, gpointer datos) {
  const auto* t = static_cast<Tarjeta*>(datos);
  const double ancho = gtk_widget_get_allocated_width(w);
  const double alto = gtk_widget_get_allocated_height(w);
  const GdkRGBA& fondo = compuesta(w) ? kFondo : kFondoOpaco;
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(cr, 0, 0, 0, 0);
  cairo_paint(cr);
  redondeado(cr, 0, 0, ancho, alto, t->radio);
  gdk_cairo_set_source_rgba(cr, &fondo);
  cairo_fill(cr);
  // A hairline edge keeps the card apart from a dark desktop.
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  redondeado(cr, 0.5, 0.5, ancho - 1, alto - 1, t->radio - 0.5);
  gdk_cairo_set_source_rgba(cr, &kBorde);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
  cairo_restore(cr);
  return FALSE;  // the children draw on top
}

// Clicks go through the rounded corners. A compositor blends the corners away; without
// one they are cut from the window itself, so the card is still round, only not
// translucent. (A compositor gets no cut: it may paint a cut window's stale outline.)
void recortar(GtkWidget* w, Tarjeta* t) {
  const int ancho = gtk_widget_get_allocated_width(w), alto = gtk_widget_get_allocated_height(w);
  const bool conCompositor = compuesta(w);
  if (ancho < 1 || alto < 1 ||
      (ancho == t->anchoRecortado && alto == t->altoRecortado &&
       conCompositor == t->compuestaRecortada))
    return;
  t->anchoRecortado = ancho;
  t->altoRecortado = alto;
  t->compuestaRecortada = conCompositor;
  cairo_surface_t* mascara = cairo_image_surface_create(CAIRO_FORMAT_A8, ancho, alto);
  cairo_t* cr = cairo_create(mascara);
  redondeado(cr, 0, 0, ancho, alto, t->radio);
  cairo_fill(cr);
  cairo_destroy(cr);
  cairo_region_t* region = gdk_cairo_region_create_from_surface(mascara);
  gtk_widget_shape_combine_region(w, conCompositor ? nullptr : region);
  gtk_widget_input_shape_combine_region(w, region);
  cairo_region_destroy(region);
  cairo_surface_destroy(mascara);
  gtk_widget_queue_draw(w);
}

void alAsignar(GtkWidget* w, GdkRectangle*, gpointer datos) {
  recortar(w, static_cast<Tarjeta*>(datos));
}

void alCambiarCompositor(GtkWidget* w, gpointer datos) {
  recortar(w, static_cast<Tarjeta*>(datos));
}

// The button's action. The card may be gone when the action returns.
void pulsado(GtkButton*, gpointer datos) {
  std::function<void()> alCerrar = static_cast<Tarjeta*>(datos)->alCerrar;
  if (alCerrar) alCerrar();
}

gboolean tecla(GtkWidget*, GdkEventKey* evento, gpointer datos) {
  auto* t = static_cast<Tarjeta*>(datos);
  if (t->equivalente == 0 || gdk_keyval_to_unicode(evento->keyval) != t->equivalente) return FALSE;
  gtk_button_clicked(GTK_BUTTON(t->boton));
  return TRUE;
}

gboolean pulsarFondo(GtkWidget* w, GdkEventButton* evento, gpointer) {
  if (evento->type != GDK_BUTTON_PRESS || evento->button != GDK_BUTTON_PRIMARY) return FALSE;
  GtkWindow* v = GTK_WINDOW(w);
  gtk_window_set_accept_focus(v, TRUE);
  gtk_window_present_with_time(v, evento->time);
  gtk_window_begin_move_drag(v, static_cast<gint>(evento->button), entero(evento->x_root),
                             entero(evento->y_root), evento->time);
  return TRUE;
}

gboolean perderFoco(GtkWidget* w, GdkEventFocus*, gpointer) {
  gtk_window_set_accept_focus(GTK_WINDOW(w), FALSE);
  return FALSE;
}

// Closing the window some other way (a window list, a close request) is the same as
// pressing the button, so the controller never holds a card that is gone.
gboolean pedirCierre(GtkWidget*, GdkEvent*, gpointer datos) {
  pulsado(nullptr, datos);
  return TRUE;
}

void instalarEstilo(GdkScreen* pantalla) {
  static GdkScreen* instalado = nullptr;
  if (instalado == pantalla) return;
  GtkCssProvider* estilo = gtk_css_provider_new();
  gtk_css_provider_load_from_data(estilo, kEstilo, -1, nullptr);
  gtk_style_context_add_provider_for_screen(pantalla, GTK_STYLE_PROVIDER(estilo),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(estilo);
  instalado = pantalla;
}

GtkWidget* columna(const DescripcionDePanel& d, const GdkRGBA& delAcento) {
  GtkWidget* c = gtk_box_new(GTK_ORIENTATION_VERTICAL, entero(d.espaciado));
  gtk_widget_set_margin_top(c, entero(d.margenes.arriba));
  gtk_widget_set_margin_start(c, entero(d.margenes.izquierda));
  gtk_widget_set_margin_bottom(c, entero(d.margenes.abajo));
  gtk_widget_set_margin_end(c, entero(d.margenes.derecha));
  const int anchoUtil = entero(d.ancho - d.margenes.izquierda - d.margenes.derecha);

  gtk_box_pack_start(GTK_BOX(c), etiqueta(d.encabezado, colorDe(d.encabezado.color, delAcento)),
                     FALSE, FALSE, 0);
  for (const FilaDePaso& paso : d.pasos) {
    GtkWidget* fila = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, entero(paso.espaciado));
    GtkWidget* numero = etiqueta(paso.numero, colorDe(paso.numero.color, delAcento));
    GtkWidget* texto = etiqueta(paso.texto, colorDe(paso.texto.color, delAcento));
    gtk_widget_set_valign(numero, GTK_ALIGN_BASELINE);
    gtk_widget_set_valign(texto, GTK_ALIGN_BASELINE);
    // The text wraps at its width, or earlier where a wide number leaves less room.
    int anchoDelNumero = 0;
    gtk_widget_get_preferred_width(numero, nullptr, &anchoDelNumero);
    const int disponible = anchoUtil - anchoDelNumero - entero(paso.espaciado);
    gtk_label_set_max_width_chars(GTK_LABEL(texto), 1);
    gtk_widget_set_size_request(
        texto, std::max(1, std::min(entero(paso.texto.anchoMaximo), disponible)), -1);
    gtk_box_pack_start(GTK_BOX(fila), numero, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(fila), texto, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(c), fila, FALSE, FALSE, 0);
  }
  return c;
}

}  // namespace

std::string PanelesLinux::mostrable(const std::string& texto, bool variasLineas) {
  gchar* valido = g_utf8_make_valid(texto.data(), static_cast<gssize>(texto.size()));
  std::string limpio;
  limpio.reserve(texto.size());
  for (const gchar* p = valido; *p; p = g_utf8_next_char(p)) {
    const gunichar c = g_utf8_get_char(p);
    if (c == '\n' && variasLineas)
      limpio += '\n';
    else if (c == '\n' || c == '\t' || c == '\r')
      limpio += ' ';
    else if (!g_unichar_iscntrl(c))
      limpio.append(p, static_cast<std::size_t>(g_utf8_next_char(p) - p));
  }
  g_free(valido);
  return limpio;
}

PanelesLinux::~PanelesLinux() {
  std::vector<std::uint64_t> quedan;
  for (const auto& [id, t] : tarjetas_) quedan.push_back(id);
  for (std::uint64_t id : quedan) cerrar(id);
}

std::uint64_t PanelesLinux::mostrar(const DescripcionDePanel& d, std::function<void()> alCerrar) {
  if (!ColaPrincipalLinux().esHiloPrincipal() || !AlertasLinux::gtkDisponible()) return 0;
  GdkDisplay* pantalla = gdk_display_get_default();
  if (!pantalla) return 0;

  auto* t = new Tarjeta{this,    siguiente_++,       nullptr, nullptr, d.boton.equivalente,
                        d.radio, std::move(alCerrar)};
  GtkWidget* v = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  t->ventana = v;
  GtkWindow* w = GTK_WINDOW(v);
  instalarEstilo(gtk_widget_get_screen(v));
  gtk_style_context_add_class(gtk_widget_get_style_context(v), "ovelmar-tarjeta");
  const std::string nombre = mostrable(d.nombreAccesible, false);
  gtk_window_set_title(w, nombre.c_str());
  atk_object_set_name(gtk_widget_get_accessible(v), nombre.c_str());
  gtk_window_set_decorated(w, FALSE);
  gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_UTILITY);
  gtk_window_set_keep_above(w, TRUE);
  gtk_window_stick(w);
  gtk_window_set_skip_taskbar_hint(w, TRUE);
  gtk_window_set_skip_pager_hint(w, TRUE);
  gtk_window_set_accept_focus(w, FALSE);
  gtk_window_set_focus_on_map(w, FALSE);
  gtk_widget_set_app_paintable(v, TRUE);
  if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(v)))
    gtk_widget_set_visual(v, rgba);
  gtk_widget_add_events(v, GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK | GDK_FOCUS_CHANGE_MASK);

  // Content taller than the screen is cut; the wheel still reaches the rest.
  GtkWidget* desplazable = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(desplazable), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(desplazable), GTK_SHADOW_NONE);
  GtkWidget* c = columna(d, acento(v));
  t->boton = gtk_button_new_with_label(mostrable(d.boton.titulo, false).c_str());
  gtk_widget_set_can_focus(t->boton, FALSE);
  gtk_widget_set_halign(t->boton, GTK_ALIGN_END);
  if (GtkWidget* titulo = gtk_bin_get_child(GTK_BIN(t->boton)); GTK_IS_LABEL(titulo))
    gtk_label_set_ellipsize(GTK_LABEL(titulo), PANGO_ELLIPSIZE_END);
  gtk_box_pack_start(GTK_BOX(c), t->boton, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(desplazable), c);
  gtk_container_add(GTK_CONTAINER(v), desplazable);
  gtk_widget_show_all(desplazable);

  // Exactly as tall as the content at the card's width, placed by the card's rule. The
  // column is measured, not the scroller, which would measure it at some narrower width.
  const int ancho = entero(d.ancho);
  int minimo = 0, natural = 0;
  gtk_widget_get_preferred_height_for_width(c, ancho, &minimo, &natural);
  GdkMonitor* monitor = gdk_display_get_primary_monitor(pantalla);
  if (!monitor) monitor = gdk_display_get_monitor(pantalla, 0);
  Rectangulo marco{0, 0, d.ancho, static_cast<double>(natural)};
  if (monitor) {
    GdkRectangle area{};
    gdk_monitor_get_workarea(monitor, &area);
    marco = d.marco({static_cast<double>(area.x), static_cast<double>(area.y),
                     static_cast<double>(area.width), static_cast<double>(area.height)},
                    natural);
  }
  GdkGeometry fijo{};
  fijo.min_width = fijo.max_width = ancho;
  fijo.min_height = fijo.max_height = std::max(1, entero(marco.alto));
  gtk_window_set_geometry_hints(w, nullptr, &fijo,
                                static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
  gtk_window_set_default_size(w, fijo.min_width, fijo.min_height);
  gtk_window_move(w, entero(marco.x), entero(marco.y));

  g_signal_connect(v, "draw", G_CALLBACK(dibujar), t);
  g_signal_connect(v, "size-allocate", G_CALLBACK(alAsignar), t);
  g_signal_connect(v, "composited-changed", G_CALLBACK(alCambiarCompositor), t);
  g_signal_connect(v, "button-press-event", G_CALLBACK(pulsarFondo), t);
  g_signal_connect(v, "key-press-event", G_CALLBACK(tecla), t);
  g_signal_connect(v, "focus-out-event", G_CALLBACK(perderFoco), t);
  g_signal_connect(v, "delete-event", G_CALLBACK(pedirCierre), t);
  g_signal_connect(t->boton, "clicked", G_CALLBACK(pulsado), t);
  g_signal_connect(v, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer datos) {
                     auto* tarjeta = static_cast<Tarjeta*>(datos);
                     tarjeta->dueno->tarjetas_.erase(tarjeta->id);
                     delete tarjeta;
                   }),
                   t);
  tarjetas_[t->id] = t;

  gtk_widget_show(v);
  gdk_window_raise(gtk_widget_get_window(v));
  return t->id;
}

void PanelesLinux::cerrar(std::uint64_t panel) {
  if (!ColaPrincipalLinux().esHiloPrincipal()) return;
  auto it = tarjetas_.find(panel);
  if (it == tarjetas_.end()) return;
  gtk_widget_destroy(it->second->ventana);
}

}  // namespace ovelmar
