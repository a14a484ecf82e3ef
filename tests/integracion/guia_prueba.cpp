// The real guide card on an X server of its own, with a real window manager (openbox) so
// that focus, stacking, struts and the work area are those of a desktop, and no other
// test's windows are in the way. Clicks and keys come through XTest, as a user's would.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Ovelmar/GuiaFlotante.hpp"
#include "Plataforma/linux/AlertasLinux.hpp"
#include "Plataforma/linux/PanelesLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

// Xlib's macros (None, Bool, ...) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>

extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
namespace ovelmar {
namespace {

// A child that dies with the test, even when the test itself is killed.
pid_t lanzar(std::vector<std::string> orden) {
  std::vector<char*> argv;
  for (std::string& a : orden) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid > 0 ? pid : 0;
}

void terminar(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (waitpid(pid, nullptr, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  pid = 0;
}

// Runs the main loop until `hecho` holds or the time is up; whether it held.
bool hasta(const std::function<bool()>& hecho, double segundos = 10) {
  const auto limite = std::chrono::steady_clock::now() + std::chrono::duration<double>(segundos);
  for (;;) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    if (hecho()) return true;
    if (std::chrono::steady_clock::now() >= limite) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
void correr(double segundos) {
  hasta([] { return false; }, segundos);
}

Display* x() {
  return gdk_x11_get_default_xdisplay();
}
Atom atomo(const char* nombre) {
  return XInternAtom(x(), nombre, False);
}
// A 32-bit property (atoms, cardinals, windows) as numbers; empty when absent.
std::vector<unsigned long> propiedad(Window w, const char* nombre) {
  Atom tipo = None;
  int formato = 0;
  unsigned long n = 0, resto = 0;
  unsigned char* datos = nullptr;
  std::vector<unsigned long> v;
  gdk_x11_display_error_trap_push(gdk_display_get_default());
  if (XGetWindowProperty(x(), w, atomo(nombre), 0, 4096, False, AnyPropertyType, &tipo, &formato,
                         &n, &resto, &datos) == Success &&
      formato == 32)
    v.assign(reinterpret_cast<unsigned long*>(datos), reinterpret_cast<unsigned long*>(datos) + n);
  if (datos) XFree(datos);
  gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
  return v;
}
bool tiene(const std::vector<unsigned long>& v, unsigned long a) {
  return std::find(v.begin(), v.end(), a) != v.end();
}

// The server, its window manager and, when asked, a compositor. One per process.
struct Escritorio {
  pid_t servidor = 0, gestor = 0, compositor = 0;
  Window panel = 0;

  Escritorio() {
    int tubo[2];
    if (pipe(tubo) != 0) return;
    servidor = lanzar({"Xvfb", "-displayfd", std::to_string(tubo[1]), "-screen", "0", "1280x800x24",
                       "-nolisten", "tcp"});
    close(tubo[1]);
    pollfd p{tubo[0], POLLIN, 0};
    char numero[16] = {};
    if (poll(&p, 1, 10000) == 1 && read(tubo[0], numero, sizeof numero - 1) > 0)
      setenv("DISPLAY", (":" + std::to_string(std::atoi(numero))).c_str(), 1);
    close(tubo[0]);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GDK_BACKEND", "x11", 1);
    if (!AlertasLinux::gtkDisponible()) return;
    gestor = lanzar({"openbox", "--sm-disable"});
    Window raiz = DefaultRootWindow(x());
    // A desktop colour, also for the compositor, which paints the root's pixmap.
    const Pixmap fondo = XCreatePixmap(x(), raiz, 1, 1, DefaultDepth(x(), 0));
    XSetForeground(x(), DefaultGC(x(), 0), 0x3b5068);
    XFillRectangle(x(), fondo, DefaultGC(x(), 0), 0, 0, 1, 1);
    XSetWindowBackgroundPixmap(x(), raiz, fondo);
    XChangeProperty(x(), raiz, atomo("_XROOTPMAP_ID"), XA_PIXMAP, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&fondo), 1);
    XClearWindow(x(), raiz);
    // A panel that reserves the bottom 60 points, as a desktop's task bar does.
    panel = XCreateSimpleWindow(x(), raiz, 0, 740, 1280, 60, 0, 0, 0x1f2a36);
    const unsigned long reserva[12] = {0, 0, 0, 60, 0, 0, 0, 0, 0, 0, 0, 1279};
    const Atom tipo = atomo("_NET_WM_WINDOW_TYPE_DOCK");
    XChangeProperty(x(), panel, atomo("_NET_WM_STRUT_PARTIAL"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(reserva), 12);
    XChangeProperty(x(), panel, atomo("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&tipo), 1);
    XMapWindow(x(), panel);
    XFlush(x());
  }
  ~Escritorio() {
    terminar(compositor);
    terminar(gestor);
    terminar(servidor);
  }
  bool listo() {
    return gestor && hasta([] {
             std::vector<unsigned long> a = propiedad(DefaultRootWindow(x()), "_NET_WORKAREA");
             return a.size() >= 4 && a[1] + a[3] == 740;
           });
  }
  void componer(bool si) {
    if (si && !compositor) compositor = lanzar({"xcompmgr"});
    if (!si) terminar(compositor);
    EXPECT_TRUE(hasta([si] { return gdk_screen_is_composited(gdk_screen_get_default()) == si; }));
  }
};

Escritorio& escritorio() {
  static Escritorio e;
  return e;
}

// The cards the window manager has: its managed windows of the card's kind.
std::vector<Window> tarjetas() {
  std::vector<Window> r;
  for (unsigned long w : propiedad(DefaultRootWindow(x()), "_NET_CLIENT_LIST"))
    if (tiene(propiedad(w, "_NET_WM_WINDOW_TYPE"), atomo("_NET_WM_WINDOW_TYPE_UTILITY")))
      r.push_back(w);
  return r;
}
GdkRectangle marcoDe(Window w) {
  XWindowAttributes a{};
  Window hijo = 0;
  int rx = 0, ry = 0;
  gdk_x11_display_error_trap_push(gdk_display_get_default());  // the card may be gone
  XGetWindowAttributes(x(), w, &a);
  XTranslateCoordinates(x(), w, DefaultRootWindow(x()), 0, 0, &rx, &ry, &hijo);
  gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
  return {rx, ry, a.map_state == IsViewable ? a.width : 0, a.height};
}
// Waits for exactly one card, mapped and settled; its window.
Window unaTarjeta() {
  Window w = 0;
  GdkRectangle antes{-1, -1, 0, 0};
  hasta([&] {
    std::vector<Window> t = tarjetas();
    if (t.size() != 1) return false;
    const GdkRectangle m = marcoDe(t[0]);
    const bool quieta = m.width > 0 && m.x == antes.x && m.y == antes.y && m.height == antes.height;
    antes = m;
    w = t[0];
    return quieta;
  });
  correr(0.3);
  return tarjetas().size() == 1 ? w : 0;
}

void mover(int px, int py) {
  XTestFakeMotionEvent(x(), -1, px, py, 0);
  XFlush(x());
  correr(0.05);
}
void clic(int px, int py, bool soltar = true) {
  mover(px, py);
  XTestFakeButtonEvent(x(), 1, True, 0);
  if (soltar) XTestFakeButtonEvent(x(), 1, False, 0);
  XFlush(x());
  correr(0.2);
}
void escape() {
  const KeyCode k = XKeysymToKeycode(x(), XK_Escape);
  XTestFakeKeyEvent(x(), k, True, 0);
  XTestFakeKeyEvent(x(), k, False, 0);
  XFlush(x());
  correr(0.2);
}

// Grey level of a screen point.
int gris(GdkPixbuf* pantalla, int px, int py) {
  const guchar* c = gdk_pixbuf_get_pixels(pantalla) + py * gdk_pixbuf_get_rowstride(pantalla) +
                    px * gdk_pixbuf_get_n_channels(pantalla);
  return (c[0] + c[1] + c[2]) / 3;
}
GdkPixbuf* captura() {
  GdkWindow* raiz = gdk_get_default_root_window();
  return gdk_pixbuf_get_from_window(raiz, 0, 0, 1280, 800);
}

// Waits (bounded) until the screen shows the card's background between `minimo` and
// `maximo` and its top-left corner lighter than `esquina`, as the window behind is: the
// card is drawn, and round. Saves what it saw when asked.
bool pintada(const GdkRectangle& m, int minimo, int maximo, int esquina,
             const char* ruta = nullptr) {
  int fondo = -1, visto = -1;
  const bool bien = hasta(
      [&] {
        GdkPixbuf* imagen = captura();
        fondo = gris(imagen, m.x + 8, m.y + m.height / 2);
        visto = gris(imagen, m.x, m.y);
        if (ruta) gdk_pixbuf_save(imagen, ruta, "png", nullptr, nullptr);
        g_object_unref(imagen);
        return fondo >= minimo && fondo <= maximo && visto > esquina;
      },
      5);
  if (!bien) ADD_FAILURE() << "background " << fondo << ", corner " << visto;
  return bien;
}

// The application the user works in: a plain window that holds the keyboard focus.
struct Aplicacion {
  GtkWidget* ventana = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  int escapes = 0;
  Aplicacion() {
    gtk_window_set_title(GTK_WINDOW(ventana), "Kestra");
    gtk_window_move(GTK_WINDOW(ventana), 140, 40);
    gtk_window_set_default_size(GTK_WINDOW(ventana), 1000, 680);
    GtkWidget* texto = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(texto),
                         "<span size='xx-large' weight='bold'>Kestra</span>\n\n"
                         "Your notes, synced across your devices.");
    gtk_container_add(GTK_CONTAINER(ventana), texto);
    g_signal_connect(ventana, "key-press-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventKey* e, gpointer n) {
                       *static_cast<int*>(n) += e->keyval == GDK_KEY_Escape;
                       return FALSE;
                     }),
                     &escapes);
    gtk_widget_show_all(ventana);
  }
  ~Aplicacion() { gtk_widget_destroy(ventana); }
  bool activa() {
    gtk_window_present(GTK_WINDOW(ventana));
    return hasta([this] { return gtk_window_is_active(GTK_WINDOW(ventana)); });
  }
};

Diccionario pedido(const std::string& xml) {
  std::optional<Valor> v = PropiedadesLinux().leer(xml);
  return v && v->diccionario() ? *v->diccionario() : Diccionario{};
}
const std::string kTresPasos =
    "<plist><dict><key>titulo</key><string>Finish setting up Kestra</string>"
    "<key>pasos</key><array><string>Open System Settings and choose Privacy &amp; Security."
    "</string><string>Turn on Accessibility for Kestra.</string>"
    "<string>Come back here and press Continue.</string></array>"
    "<key>cerrar</key><string>Done</string></dict></plist>";

TEST(GuiaFlotanteReal, FlotaSobreElAreaDeTrabajoSinTomarElFoco) {
  ASSERT_TRUE(escritorio().listo()) << "no X server with a window manager";
  escritorio().componer(true);
  Aplicacion app;
  PanelesLinux paneles;
  GuiaFlotante guia(&paneles);
  std::string largo;
  for (int i = 0; i < 60; ++i) largo += "word ";
  std::string pasosMalos;
  for (int i = 0; i < 3000; ++i) pasosMalos += "<string>\x01step\x1b[31m \xff\xfe\t\xc3</string>";
  struct Caso {
    const char* caso;
    std::string xml;
    bool cortada;
  };
  const Caso casos[] = {
      {"only a heading", "<plist><dict><key>titulo</key><string>Kestra</string></dict></plist>",
       false},
      {"three steps", kTresPasos, false},
      {"a step longer than a line",
       "<plist><dict><key>pasos</key><array><string>Open System Settings.</string><string>" +
           largo + "</string><string>Come back.</string></array></dict></plist>",
       false},
      {"thousands of steps, control characters, broken UTF-8",
       "<plist><dict><key>titulo</key><string>\xc3\x28\x07" + std::string(5000, 'T') +
           "</string><key>pasos</key><array>" + pasosMalos + "</array></dict></plist>",
       true},
  };
  int altoAnterior = 0;
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    ASSERT_TRUE(app.activa());
    guia.mostrar(pedido(c.xml));
    const Window w = unaTarjeta();
    ASSERT_NE(w, 0u) << "not exactly one card";
    const GdkRectangle m = marcoDe(w);
    // 440 wide, centred, 28 above the panel; taller content makes a taller card.
    EXPECT_EQ(m.width, 440);
    EXPECT_EQ(m.x, (1280 - 440) / 2);
    EXPECT_EQ(m.y + m.height, 740 - 28);
    EXPECT_EQ(m.height == 740 - 28, c.cortada) << m.height;
    EXPECT_GT(m.height, altoAnterior);
    altoAnterior = m.height;
    const std::vector<unsigned long> estado = propiedad(w, "_NET_WM_STATE");
    for (const char* a :
         {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"})
      EXPECT_TRUE(tiene(estado, atomo(a))) << a;
    // On every workspace: the window manager keeps it on "all desktops".
    const std::vector<unsigned long> todos = propiedad(w, "_NET_WM_DESKTOP");
    EXPECT_TRUE(todos.size() == 1 && static_cast<std::uint32_t>(todos[0]) == 0xFFFFFFFF);
    XWMHints* pistas = XGetWMHints(x(), w);
    EXPECT_TRUE(pistas && (pistas->flags & InputHint) && !pistas->input);
    if (pistas) XFree(pistas);
    // The user's application keeps the keyboard.
    EXPECT_TRUE(gtk_window_is_active(GTK_WINDOW(app.ventana)));
    EXPECT_FALSE(tiene(propiedad(DefaultRootWindow(x()), "_NET_ACTIVE_WINDOW"), w));

    if (c.xml == kTresPasos) {
      // Translucent over the light window once the compositor has painted it.
      const auto ruta = std::filesystem::path(OVELMAR_ARBOL) / "capturas" / "guia.png";
      std::filesystem::create_directories(ruta.parent_path());
      EXPECT_TRUE(pintada(m, 41, 109, 200, ruta.c_str()));
      std::printf("screenshot: %s\n", ruta.c_str());
      // Dragged by its background; the next card is back in its place.
      clic(m.x + 8, m.y + m.height / 2, false);
      for (int i = 1; i <= 10; ++i) mover(m.x + 8 - 30 * i, m.y + m.height / 2 - 20 * i);
      XTestFakeButtonEvent(x(), 1, False, 0);
      XFlush(x());
      EXPECT_TRUE(hasta([&] { return marcoDe(w).x == m.x - 300; }, 5)) << marcoDe(w).x;
    }
  }
  guia.cerrar();
  EXPECT_TRUE(hasta([] { return tarjetas().empty(); }));
}

TEST(GuiaFlotanteReal, SeCierraConSuBotonYConEscapeUnaVezPulsada) {
  ASSERT_TRUE(escritorio().listo()) << "no X server with a window manager";
  escritorio().componer(false);
  Aplicacion app;
  PanelesLinux paneles;
  GuiaFlotante guia(&paneles);
  ASSERT_TRUE(app.activa());

  guia.mostrar(pedido(kTresPasos));
  Window w = unaTarjeta();
  ASSERT_NE(w, 0u);
  GdkRectangle m = marcoDe(w);
  // Without a compositor: opaque, still round.
  EXPECT_TRUE(pintada(m, 34, 42, 200));
  // Escape belongs to the application in use until the card is clicked.
  escape();
  EXPECT_EQ(app.escapes, 1);
  EXPECT_TRUE(guia.hayPanel());
  clic(m.x + 8, m.y + m.height / 2);
  EXPECT_TRUE(
      hasta([&] { return tiene(propiedad(DefaultRootWindow(x()), "_NET_ACTIVE_WINDOW"), w); }));
  escape();
  EXPECT_TRUE(hasta([&] { return tarjetas().empty() && !guia.hayPanel(); }));
  EXPECT_EQ(app.escapes, 1);

  guia.mostrar(pedido(kTresPasos));
  w = unaTarjeta();
  ASSERT_NE(w, 0u);
  m = marcoDe(w);
  // The button sits at the right-hand end of the last row, inside the insets.
  clic(m.x + 440 - 20 - 25, m.y + m.height - 16 - 12);
  EXPECT_TRUE(hasta([&] { return tarjetas().empty() && !guia.hayPanel(); }));
  guia.cerrar();
}

TEST(GuiaFlotanteReal, ElAnfitrionDeEjemploLaMuestraYSinPantallaNoHaceNada) {
  ASSERT_TRUE(escritorio().listo()) << "no X server with a window manager";
  pruebas::CarpetaTemporal carpeta;
  pruebas::escribirArchivo(carpeta / "guia.plist", kTresPasos);
  const std::string demo = std::string(OVELMAR_ARBOL) + "/Kestra.app/Contents/MacOS/demo";
  const std::string paquete = std::string(OVELMAR_ARBOL) + "/Ovelmar.bundle";
  pid_t pid =
      lanzar({"sh", "-c",
              "exec '" + demo + "' '" + paquete + "' mostrar: @'" + (carpeta / "guia.plist") +
                  "' esperar:60 > '" + (carpeta / "salida") + "'"});
  ASSERT_NE(pid, 0);
  const Window w = unaTarjeta();
  const int ancho = marcoDe(w).width;
  terminar(pid);
  ASSERT_NE(w, 0u);
  EXPECT_EQ(ancho, 440);
  EXPECT_EQ(pruebas::leerArchivo(carpeta / "salida"), "mostrar: -> (nada)\n");

  const auto [salida, estado] = pruebas::ejecutarOrden(
      "env -u DISPLAY -u WAYLAND_DISPLAY '" + demo + "' '" + paquete + "' mostrar: @'" +
      (carpeta / "guia.plist") + "' cerrar mostrar: '<plist><dict/></plist>' 2>&1");
  EXPECT_EQ(estado, 0);
  EXPECT_EQ(salida, "mostrar: -> (nada)\ncerrar -> (nada)\nmostrar: -> (nada)\n");
}

}  // namespace
}  // namespace ovelmar
