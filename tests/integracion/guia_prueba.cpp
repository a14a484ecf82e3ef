// The real guide card, sent through the bundle's C interface, on an X server of its own
// with a real window manager (openbox) and compositor (xcompmgr): focus, stacking, struts
// and the work area are a desktop's, and no other test's windows are in the way. Clicks
// and keys come through XTest, as a user's would.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "anfitrion/ovelmar.h"
#include "comun/Esperar.hpp"

// Xlib's macros (None, Bool, ...) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>

namespace {

using Lista = std::vector<unsigned long>;

// A private X server with openbox, xcompmgr and a panel reserving the bottom 60 points,
// as a task bar does; the component loaded as a host loads it; what the test reads and
// does on that screen.
struct Escritorio {
  decltype(&ov_enviar) enviar = nullptr;
  void* ovelmar = nullptr;

  // A child that dies with the test, even a killed one.
  static void lanzar(std::vector<std::string> orden) {
    std::vector<char*> argv;
    for (std::string& a : orden) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (fork() != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execvp(argv[0], argv.data());
    _exit(127);
  }

  Escritorio() {
    int tubo[2];
    if (pipe(tubo) != 0) return;
    lanzar({"Xvfb", "-displayfd", std::to_string(tubo[1]), "-screen", "0", "1280x800x24",
            "-nolisten", "tcp"});
    close(tubo[1]);
    pollfd p{tubo[0], POLLIN, 0};
    char numero[16] = {};
    if (poll(&p, 1, 10000) != 1 || read(tubo[0], numero, sizeof numero - 1) <= 0) return;
    setenv("DISPLAY", (":" + std::to_string(std::atoi(numero))).c_str(), 1);
    setenv("GDK_BACKEND", "x11", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    if (!gtk_init_check(nullptr, nullptr)) return;
    lanzar({"openbox", "--sm-disable"});
    lanzar({"xcompmgr"});
    const Window panel = XCreateSimpleWindow(x(), raiz(), 0, 740, 1280, 60, 0, 0, 0x1f2a36);
    const unsigned long reserva[12] = {0, 0, 0, 60, 0, 0, 0, 0, 0, 0, 0, 1279};
    const Atom muelle = atomo("_NET_WM_WINDOW_TYPE_DOCK");
    XChangeProperty(x(), panel, atomo("_NET_WM_STRUT_PARTIAL"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(reserva), 12);
    XChangeProperty(x(), panel, atomo("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&muelle), 1);
    XMapWindow(x(), panel);
    void* b = dlopen(OVELMAR_ARBOL "/Ovelmar.bundle/Contents/MacOS/Ovelmar", RTLD_NOW | RTLD_LOCAL);
    auto clase = b ? reinterpret_cast<decltype(&ov_clase)>(dlsym(b, "ov_clase")) : nullptr;
    auto crear = b ? reinterpret_cast<decltype(&ov_crear)>(dlsym(b, "ov_crear")) : nullptr;
    enviar = b ? reinterpret_cast<decltype(&ov_enviar)>(dlsym(b, "ov_enviar")) : nullptr;
    if (clase && crear) ovelmar = crear(clase("Ovelmar"));
  }
  // A message without an answer.
  void mensaje(const char* s, const std::string& xml) {
    EXPECT_FALSE(enviar(ovelmar, s, xml.c_str()));
  }

  // Runs the main loop until `hecho` holds or the time is up; whether it held.
  static bool hasta(const std::function<bool()>& hecho, double segundos = 10) {
    return ovelmar::pruebas::esperarA(
        [&] {
          while (g_main_context_iteration(nullptr, FALSE)) {
          }
          return hecho();
        },
        segundos);
  }
  static Display* x() { return gdk_x11_get_default_xdisplay(); }
  static Window raiz() { return DefaultRootWindow(x()); }
  static Atom atomo(const char* nombre) { return XInternAtom(x(), nombre, False); }
  static bool tiene(const Lista& v, unsigned long a) { return std::count(v.begin(), v.end(), a); }
  // A 32-bit property (atoms, cardinals, windows); empty when absent or the window is gone.
  static Lista propiedad(Window w, const char* nombre) {
    Atom tipo = 0;
    int formato = 0;
    unsigned long n = 0, resto = 0;
    unsigned char* d = nullptr;
    Lista v;
    gdk_x11_display_error_trap_push(gdk_display_get_default());
    if (XGetWindowProperty(x(), w, atomo(nombre), 0, 4096, False, AnyPropertyType, &tipo, &formato,
                           &n, &resto, &d) == Success &&
        formato == 32)
      v.assign(reinterpret_cast<unsigned long*>(d), reinterpret_cast<unsigned long*>(d) + n);
    if (d) XFree(d);
    gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
    return v;
  }
  // The cards on screen: the window manager's windows of the card's kind; empty unless
  // each is shown.
  static std::vector<GdkRectangle> tarjetas() {
    std::vector<GdkRectangle> r;
    for (unsigned long w : propiedad(raiz(), "_NET_CLIENT_LIST")) {
      if (!tiene(propiedad(w, "_NET_WM_WINDOW_TYPE"), atomo("_NET_WM_WINDOW_TYPE_UTILITY")))
        continue;
      XWindowAttributes a{};
      Window hijo = 0;
      int rx = 0, ry = 0;
      gdk_x11_display_error_trap_push(gdk_display_get_default());
      XGetWindowAttributes(x(), w, &a);
      XTranslateCoordinates(x(), w, raiz(), 0, 0, &rx, &ry, &hijo);
      gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
      if (a.map_state != IsViewable) return {};
      r.push_back({rx, ry, a.width, a.height});
    }
    return r;
  }
  static Window activa() { return propiedad(raiz(), "_NET_ACTIVE_WINDOW").at(0); }
  static void pulsar(int px, int py) {
    XTestFakeMotionEvent(x(), -1, px, py, 0);
    XTestFakeButtonEvent(x(), 1, True, 0);
    XTestFakeButtonEvent(x(), 1, False, 0);
    XFlush(x());
  }
  static void escape() {
    XTestFakeKeyEvent(x(), XKeysymToKeycode(x(), XK_Escape), True, 0);
    XTestFakeKeyEvent(x(), XKeysymToKeycode(x(), XK_Escape), False, 0);
    XFlush(x());
  }
  // Grey level of a screen point, saving the screen as it is when asked.
  static int gris(int px, int py, const char* ruta = nullptr) {
    GdkPixbuf* p = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), 0, 0, 1280, 800);
    const guchar* c = gdk_pixbuf_get_pixels(p) + py * gdk_pixbuf_get_rowstride(p) +
                      px * gdk_pixbuf_get_n_channels(p);
    const int valor = (c[0] + c[1] + c[2]) / 3;
    if (ruta) gdk_pixbuf_save(p, ruta, "png", nullptr, nullptr);
    g_object_unref(p);
    return valor;
  }
};
using E = Escritorio;

const std::string kTresPasos =
    "<plist><dict><key>titulo</key><string>Finish setting up Kestra</string>"
    "<key>pasos</key><array><string>Open System Settings and choose Privacy &amp; Security."
    "</string><string>Turn on Accessibility for Kestra.</string>"
    "<string>Come back here and press Continue.</string></array>"
    "<key>cerrar</key><string>Done</string></dict></plist>";

TEST(GuiaFlotanteReal, FlotaSobreElAreaDeTrabajoSinTomarElFocoYSeCierraConSuBotonOEscape) {
  static Escritorio escritorio;
  // Once the work area has lost the panel and the compositor runs.
  ASSERT_TRUE(escritorio.ovelmar && E::hasta(
                                        [] {
                                          Lista a = E::propiedad(E::raiz(), "_NET_WORKAREA");
                                          return a.size() >= 4 && a[1] + a[3] == 740 &&
                                                 gdk_screen_is_composited(gdk_screen_get_default());
                                        },
                                        30))
      << "no X server with openbox and xcompmgr";
  // The application the user works in, holding the keyboard.
  GtkWidget* app = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_move(GTK_WINDOW(app), 140, 40);
  gtk_window_set_default_size(GTK_WINDOW(app), 1000, 680);
  gtk_container_add(GTK_CONTAINER(app), gtk_label_new("Kestra: your notes, on every device."));
  gtk_widget_show_all(app);
  auto mostrar = [&](const std::string& xml) {
    gtk_window_present(GTK_WINDOW(app));
    EXPECT_TRUE(E::hasta([app] { return gtk_window_is_active(GTK_WINDOW(app)); }));
    escritorio.mensaje("mostrar:", xml);
    // Exactly one card, left alone a moment by the window manager.
    E::hasta([] { return E::tarjetas().size() == 1; });
    E::hasta([] { return false; }, 0.3);
    const std::vector<GdkRectangle> t = E::tarjetas();
    return t.size() == 1 ? t[0] : GdkRectangle{};
  };

  // What the card holds is the unit tests'; here, that GTK draws it where it belongs.
  std::string malos = "<string>";  // first a step that wraps
  for (int i = 0; i < 60; ++i) malos += "word ";
  malos += "</string>";
  for (int i = 0; i < 3000; ++i) malos += "<string>\x01step\x1b[31m \xff\xfe\t\xc3</string>";
  const std::string casos[] = {
      kTresPasos,
      // A long step, thousands more, control characters, broken UTF-8: cut at the work area.
      "<plist><dict><key>titulo</key><string>\xc3\x28\x07" + std::string(5000, 'T') +
          "</string><key>pasos</key><array>" + malos + "</array></dict></plist>",
  };
  int altoAnterior = 0;
  for (const std::string& caso : casos) {
    SCOPED_TRACE(caso.substr(0, 80));
    const GdkRectangle m = mostrar(caso);
    // 440 wide, centred, 28 above the panel; the more it holds, the taller.
    EXPECT_TRUE(m.width == 440 && m.x == (1280 - 440) / 2 && m.y + m.height == 740 - 28 &&
                m.height > altoAnterior)
        << m.x << "," << m.y << " " << m.width << "x" << m.height;
    altoAnterior = m.height;
    // Above, out of the task bar and pager, on all desktops, never focused.
    const Window w = E::propiedad(E::raiz(), "_NET_CLIENT_LIST").back();
    for (const char* a :
         {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"})
      EXPECT_TRUE(E::tiene(E::propiedad(w, "_NET_WM_STATE"), E::atomo(a))) << a;
    EXPECT_EQ(static_cast<std::uint32_t>(E::propiedad(w, "_NET_WM_DESKTOP").at(0)), 0xFFFFFFFF);
    XWMHints* pistas = XGetWMHints(E::x(), w);
    EXPECT_TRUE(pistas && (pistas->flags & InputHint) && !pistas->input);
    XFree(pistas);
    EXPECT_TRUE(gtk_window_is_active(GTK_WINDOW(app)) && E::activa() != w);
    if (caso != kTresPasos) continue;
    // Translucent over the light window once the compositor has painted it, and round:
    // the corner shows the window behind.
    const auto ruta = std::filesystem::path(OVELMAR_ARBOL) / "capturas" / "guia.png";
    std::filesystem::create_directories(ruta.parent_path());
    EXPECT_TRUE(E::hasta(
        [&] {
          const int fondo = E::gris(m.x + 8, m.y + m.height / 2, ruta.c_str());
          return fondo > 40 && fondo < 110 && E::gris(m.x, m.y) > 200;
        },
        5))
        << "screenshot: " << ruta;
  }
  EXPECT_EQ(altoAnterior, 740 - 28);

  // Escape belongs to the application in use until the card is clicked; then it closes
  // the card, as the button does.
  for (bool conEscape : {true, false}) {
    const GdkRectangle m = mostrar(kTresPasos);
    const Window w = E::propiedad(E::raiz(), "_NET_CLIENT_LIST").back();
    if (conEscape) {
      E::escape();
      E::hasta([] { return false; }, 0.3);
      EXPECT_EQ(E::tarjetas().size(), 1u);
      E::pulsar(m.x + 8, m.y + m.height / 2);
      EXPECT_TRUE(E::hasta([&] { return E::activa() == w; }));
      E::escape();
    } else {
      E::pulsar(m.x + 440 - 20 - 25, m.y + m.height - 16 - 12);  // inside the insets
    }
    EXPECT_TRUE(E::hasta([] { return E::tarjetas().empty(); })) << conEscape;
    escritorio.mensaje("cerrar", "");
  }
  gtk_widget_destroy(app);
}

}  // namespace
