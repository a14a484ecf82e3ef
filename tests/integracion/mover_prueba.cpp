// The move to Applications end to end: the demo host, laid out as Kestra.app, installing
// itself from a Downloads folder in test mode; and, outside test mode, the real GTK prompt
// answered by a click.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/AlertasLinux.hpp"
#include "Plataforma/linux/ArchivosLinux.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"
#include "comun/DoblesInstalador.hpp"

// GTK's font library and D-Bus keep caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

const fs::path kArbol = OVELMAR_ARBOL;

fs::path descargas() {
  return fs::path(std::getenv("HOME")) / "Downloads";
}

TEST(Mover, ElAnfitrionDeEjemploSeInstalaASiMismo) {
  struct Caso {
    const char* caso;
    bool enDescargas;
    std::optional<std::string> instalada;  // Info.plist of a copy at the destination ("": same)
    std::string linea;                     // {D}, {S}: the destination and the started copy
    bool sinAplicacion = false;            // a host without application callbacks, output unflushed
  };
  const Caso casos[] = {
      {"nueva", true, {}, "instalada en {D} desde {S}\n"},
      {"ya instalada, la misma", true, "", "ya instalada en {D}\n"},
      {"instalada más nueva", true, infoPlist({{"CFBundleVersion", "+8"}}),
       "ya instalada en {D}\n"},
      {"instalada con Info.plist dañado", true, "<plist><dict><key>",
       "instalada en {D} desde {S}\n"},
      {"fuera de las descargas", false, {}, ""},
      {"nueva, sin retrollamadas", true, {}, "instalada en {D} desde {S}\n", true},
  };
  for (Caso c : casos) {
    SCOPED_TRACE(c.caso);
    CarpetaTemporal t;
    const fs::path carpeta = t.ruta() / "Apli caciones 'x'", D = carpeta / "Kestra.app";
    const fs::path S = (c.enDescargas ? descargas() / "sub" : t.ruta()) / "Kestra.app";
    fs::create_directories(carpeta);
    fs::create_directories(S.parent_path());
    fs::copy(kArbol / "Kestra.app", S, fs::copy_options::recursive);
    if (c.instalada) fs::copy(kArbol / "Kestra.app", D, fs::copy_options::recursive);
    if (c.instalada && !c.instalada->empty())
      escribirArchivo(D / "Contents/Info.plist", *c.instalada);

    const std::string orden =
        "KESTRAVON_DESTINO=" + entrecomillar(carpeta) + " timeout 60 " +
        entrecomillar(S / "Contents/MacOS/demo") + (c.sinAplicacion ? " -s " : " ") +
        entrecomillar(kArbol / "Ovelmar.bundle") + " instalarSiHaceFalta 2>&1";
    const auto [salida, estado] = ejecutarOrden(orden);
    EXPECT_EQ(estado, 0) << salida;
    for (auto [marca, valor] : {std::pair<std::string, std::string>{"{D}", D}, {"{S}", S}})
      if (auto i = c.linea.find(marca); i != std::string::npos)
        c.linea.replace(i, marca.size(), valor);
    const std::string propia = "Kestra build 7 is running from " + S.string() + "\n";
    EXPECT_EQ(salida.rfind(propia + c.linea, 0), 0u) << salida;  // the lines come first
    EXPECT_NE(salida.find(c.enDescargas ? "-> yes" : "-> no"), std::string::npos) << salida;
    EXPECT_EQ(fs::exists(D / "Contents/MacOS/demo"), c.enDescargas);
    EXPECT_FALSE(fs::exists(D.string() + ".nuevo"));
    if (c.linea.starts_with("instalada")) {
      EXPECT_EQ(leerArchivo(D / "Contents/Info.plist"),
                leerArchivo(kArbol / "Kestra.app/Contents/Info.plist"));
    }
    EXPECT_TRUE(fs::exists(S));  // test mode hands over to nobody, so nothing is trashed
    fs::remove_all(descargas());
  }
}

// Without test mode the destination is always /Applications; this puts it in `carpeta`.
class ArchivosDesviados : public ArchivosLinux {
 public:
  explicit ArchivosDesviados(std::string carpeta) : carpeta_(std::move(carpeta)) {}
  bool existe(const std::string& r) override { return ArchivosLinux::existe(d(r)); }
  bool escribible(const std::string& r) override { return ArchivosLinux::escribible(d(r)); }
  Resultado eliminar(const std::string& r) override { return ArchivosLinux::eliminar(d(r)); }
  Resultado copiar(const std::string& de, const std::string& a) override {
    return ArchivosLinux::copiar(de, d(a));
  }
  Resultado mover(const std::string& de, const std::string& a) override {
    return ArchivosLinux::mover(d(de), d(a));
  }

 private:
  std::string d(const std::string& r) {
    return r.starts_with("/Applications") ? carpeta_ + r.substr(13) : r;
  }
  std::string carpeta_;
};

// Clicks the button labelled `etiqueta` once the dialog is on screen (bounded), or closes it.
struct Clic {
  std::string etiqueta;
  GtkWidget* dialogo = nullptr;
  GtkWidget* boton = nullptr;
  int intentos = 0;
};
void buscar(GtkWidget* w, gpointer datos) {
  auto* c = static_cast<Clic*>(datos);
  const gchar* etiqueta = GTK_IS_BUTTON(w) ? gtk_button_get_label(GTK_BUTTON(w)) : nullptr;
  if (etiqueta && c->etiqueta == etiqueta) c->boton = w;
  if (GTK_IS_CONTAINER(w)) gtk_container_forall(GTK_CONTAINER(w), buscar, datos);
}
gboolean pulsar(gpointer datos) {
  auto* c = static_cast<Clic*>(datos);
  if (!gtk_widget_get_mapped(c->dialogo) && ++c->intentos < 400) return G_SOURCE_CONTINUE;
  buscar(c->dialogo, c);
  if (c->boton)
    gtk_button_clicked(GTK_BUTTON(c->boton));
  else
    gtk_window_close(GTK_WINDOW(c->dialogo));
  return G_SOURCE_REMOVE;
}

TEST(Mover, ElDialogoRealDecideSiSeInstala) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  setenv("NO_AT_BRIDGE", "1", 1);
  for (auto [etiqueta, instala] : {std::pair{"Not now", false}, {"Install", true}}) {
    SCOPED_TRACE(etiqueta);
    CarpetaTemporal t;
    const fs::path S = descargas() / "Kestra.app";
    crearPaquete(S, infoPlist({{"CFBundleVersion", "7"}}));
    PlataformaLinux linux;
    ArchivosDesviados archivos{t.ruta().string()};
    AlertasLinux alertas;
    IdiomasFijos idiomas;
    PaqueteFijo paquete;
    Bitacora b;
    RelojManual reloj;
    AplicacionesFalsas aplicaciones{b, reloj};  // opens nothing for real
    AplicacionFalsa aplicacion{b};              // nor ends the test
    ProcesosFalsos procesos{b};
    Plataforma p = linux.plataforma();
    p.archivos = &archivos, p.alertas = &alertas, p.idiomas = &idiomas, p.paquete = &paquete;
    p.aplicaciones = &aplicaciones, p.aplicacion = &aplicacion, p.procesos = &procesos;
    idiomas.lista = {"en"};
    paquete.rutaFija = S.string();
    paquete.infoFija = Diccionario{{"CFBundleName", "Kestra"}, {"CFBundleVersion", "7"}};
    ReglasDeActualizacion reglas{p};
    Instalador instalador{p, reglas};
    Clic clic{etiqueta};
    alertas.alMostrar([&](void* d) {
      clic.dialogo = GTK_WIDGET(d);
      g_timeout_add(25, pulsar, &clic);
    });
    EXPECT_EQ(instalador.moverSiHaceFalta(), instala);
    EXPECT_NE(clic.boton, nullptr);  // the prompt was on screen with that button
    EXPECT_EQ(fs::exists(t.ruta() / "Kestra.app/Contents/Info.plist"), instala);
    EXPECT_TRUE(fs::exists(S));
    // Asked, and on "Install" copied and handed over to the copy at the destination.
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(b.front(), "activar");
    EXPECT_EQ(b.back(), instala ? "abrir /Applications/Kestra.app nueva" : "activar");
    fs::remove_all(descargas());
  }
}

TEST(Mover, InstalarSiHaceFaltaExigeElHiloPrincipal) {
  void* b = dlopen((kArbol / "Ovelmar.bundle/Contents/MacOS/Ovelmar").c_str(), RTLD_NOW);
  ASSERT_TRUE(b) << dlerror();
  auto clase = reinterpret_cast<void* (*)(const char*)>(dlsym(b, "ov_clase"));
  auto crear = reinterpret_cast<void* (*)(void*)>(dlsym(b, "ov_crear"));
  auto enviar = reinterpret_cast<char* (*)(void*, const char*, const char*)>(dlsym(b, "ov_enviar"));
  auto soltar = reinterpret_cast<void (*)(void*)>(dlsym(b, "ov_soltar"));
  ASSERT_TRUE(clase && crear && enviar && soltar);
  void* objeto = crear(clase("Ovelmar"));
  EXPECT_DEATH(std::thread([&] { enviar(objeto, "instalarSiHaceFalta", nullptr); }).join(),
               "'instalarSiHaceFalta' must be sent on the main thread");
  soltar(objeto);
}

}  // namespace
}  // namespace ovelmar
