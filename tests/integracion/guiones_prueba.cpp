// The shell the component hands work to, run for real: the swap and reopen scripts under
// /bin/sh with a real child process standing in for the host and recording stand-ins for the
// opener and the pause; the administrator command in a temporary folder (without
// elevation), with the tools resolved as the elevated run resolves them; and the
// administrator route through stand-ins for pkexec.

#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "Ovelmar/Instalador.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/AdministradorLinux.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

class Guiones : public testing::Test {
 protected:
  // The opener writes its arguments one per line; the pause counts itself and returns at
  // once, so that a host that never ends lets the 300 checks go by in no time.
  void SetUp() override {
    escribirArchivo(abridor_, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> " + entrecomillar(abiertas_));
    escribirArchivo(pausa_, "#!/bin/sh\necho x >> " + entrecomillar(pausas_) + "\n");
    for (const std::string& h : {abridor_, pausa_}) fs::permissions(h, fs::perms::owner_all);
    procesos_.establecerHerramienta("/usr/bin/open", abridor_);
    procesos_.establecerHerramienta("/bin/sleep", pausa_);
  }
  // A bundle, as far as the scripts care: a folder that says which version it is.
  static void paquete(const fs::path& ruta, const std::string& v) {
    escribirArchivo(ruta / "version", v);
  }
  static std::string version(const fs::path& ruta) { return leerArchivo(ruta / "version"); }
  int correr(std::string_view guion, std::vector<std::string> argumentos) {
    argumentos.insert(argumentos.begin(), {"-c", std::string(guion), "sh"});
    auto r = procesos_.ejecutar("/bin/sh", argumentos);
    return std::holds_alternative<int>(r) ? std::get<int>(r) : -1;
  }

  CarpetaTemporal tmp_;
  std::string abiertas_ = tmp_ / "abiertas", pausas_ = tmp_ / "pausas";
  std::string abridor_ = tmp_ / "abrir", pausa_ = tmp_ / "pausa";
  ProcesosLinux procesos_;
};

// A host already gone (an identifier above Linux's largest) is not waited for; one that never
// ends (this test's own process), 300 pauses per script.
TEST_F(Guiones, CambiaYReabreConCualquierRutaSinEsperarSinFin) {
  struct Caso {
    const char* caso;
    const char* carpeta;
    bool hayApp, hayNueva, haySobrante;
    const char* enApp;  // version left at the installed place ("" = nothing)
    bool vivo = false;  // the host is still running
  };
  const Caso casos[] = {
      {"no new bundle: the old one back", "comilla \" doble", true, false, true, "1"},
      {"no installed bundle: the new one stays", "ñandú é 日本", false, true, false, ""},
      {"shell syntax in the path", "$HOME `true` $(false) \\ * ; & |", true, true, false, "2"},
      {"a host that never ends", "vivo", true, true, false, "2", true},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.caso);
    const fs::path dir = tmp_.ruta() / c.carpeta;
    const fs::path app = dir / "Mi App ' \".app", nueva = dir / "nueva ñ.app";
    fs::create_directories(dir);
    if (c.hayApp) paquete(app, "1");
    if (c.hayNueva) paquete(nueva, "2");
    if (c.haySobrante) paquete(app.string() + ".viejo", "0");
    fs::remove(abiertas_);
    fs::remove(pausas_);
    const std::string pid = c.vivo ? std::to_string(getpid()) : "4194305";

    EXPECT_EQ(correr(ReglasDeActualizacion::guionDeCambio, {pid, app.string(), nueva.string()}), 0);
    EXPECT_EQ(version(app), c.enApp);
    EXPECT_EQ(fs::exists(nueva), !c.hayApp);
    // Reopening only opens: the bundle is left as it is.
    EXPECT_EQ(correr(ReglasDeActualizacion::guionDeReabrir, {pid, app.string()}), 0);
    EXPECT_EQ(version(app), c.enApp);
    EXPECT_EQ(leerArchivo(abiertas_), app.string() + "\n" + app.string() + "\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    EXPECT_EQ(leerArchivo(pausas_).size(), c.vivo ? 1200u : 0u);  // "x\n" per pause
  }
}

// A bundle holding an executable, a symbolic link and a quarantined file.
void crearApp(const fs::path& app, const std::string& version) {
  crearPaquete(app, infoPlist({{"CFBundleVersion", version}}));
  escribirArchivo(app / "Contents/MacOS/Kestra", "#!/bin/sh\nexit 0\n");
  fs::permissions(app / "Contents/MacOS/Kestra", fs::perms(0755));
  fs::create_symlink("../Info.plist", app / "Contents/enlace");
  escribirArchivo(app / "Contents/descargado", "x");
  setxattr((app / "Contents/descargado").c_str(), "user.com.apple.quarantine", "0081;", 5, 0);
}

// One installer whose destination folder and name hold quotes, backslashes, spaces and
// shell syntax that must stay text: running it would create `inyectado`.
struct Escena {
  CarpetaTemporal t;
  fs::path inyectado = t.ruta() / "inyectado";
  fs::path carpeta = t.ruta() / ("Apps 'a' \"b\" \\c $(touch " + inyectado.string() + ")");
  fs::path origen = t.ruta() / "Descargas 'x'\\ \"y\"" / "Kes'tra \"q\" \\z.app";
  PlataformaLinux linux;
  EntornoFijo entorno;
  PaqueteFijo paquete;
  Plataforma p = linux.plataforma();
  ReglasDeActualizacion reglas{p};
  Instalador instalador{p, reglas};
  fs::path D;

  Escena() {
    fs::create_directories(carpeta);
    entorno.variables["KESTRAVON_DESTINO"] = carpeta.string();
    paquete.infoFija = Diccionario{{"CFBundleName", "Kes'tra \"q\" \\z"}};
    p.entorno = &entorno;
    p.paquete = &paquete;
    D = instalador.destino();
    crearApp(origen, "7");
  }
  // The build left at the destination: "" for nothing, "?" for something else.
  std::string version() {
    for (std::string v : {"6", "7"})
      if (leerArchivo(D / "Contents/Info.plist") == infoPlist({{"CFBundleVersion", v}})) return v;
    return fs::exists(D) ? "?" : "";
  }
};

TEST(GuionDeAdministrador, HaceLoQueDiceConCualquierRuta) {
  struct Caso {
    const char* caso;
    bool vieja, restos;  // an older copy at the destination; .nuevo and .viejo leftovers
    bool mvFalla;        // /bin/mv cannot put the new copy into place
    bool sinOrigen;
    std::optional<std::string> dueno;
    std::string queda;  // build at the destination afterwards; "7" only on success
  };
  const Caso casos[] = {
      {"instalación nueva", false, false, false, false, std::nullopt, "7"},
      {"reemplaza la vieja y quita restos", true, true, false, false, std::nullopt, "7"},
      {"con dueño (un chown fallido no cuenta)", true, false, false, false, "ovelmar-no", "7"},
      {"mover la nueva falla: vuelve la vieja", true, false, true, false, std::nullopt, "6"},
      {"mover la nueva falla sin vieja", false, false, true, false, std::nullopt, ""},
      {"la copia falla: la vieja no se toca", true, false, false, true, std::nullopt, "6"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    Escena e;
    if (c.vieja) {
      crearApp(e.D, "6");
      escribirArchivo(e.D / "solo-en-la-vieja", "x");
    }
    for (const char* resto : {".nuevo", ".viejo"})
      if (c.restos) crearApp(e.D.string() + resto, "1");
    if (c.sinOrigen) fs::remove_all(e.origen);
    if (c.mvFalla) {
      const fs::path mv = e.t.ruta() / "mv-falla";
      escribirArchivo(mv,
                      "#!/bin/sh\ncase \"$1\" in *.nuevo) exit 1;; esac\nexec /bin/mv \"$@\"\n");
      fs::permissions(mv, fs::perms(0755));
      e.linux.procesos().establecerHerramienta("/bin/mv", mv.string());
    }
    auto r = e.linux.procesos().ejecutar(
        "/bin/sh", {"-c", e.instalador.ordenDeAdministrador(e.origen.string(), c.dueno)});
    ASSERT_TRUE(std::holds_alternative<int>(r));
    EXPECT_EQ(std::get<int>(r) == 0, c.queda == "7");
    EXPECT_EQ(e.version(), c.queda);
    EXPECT_FALSE(fs::exists(e.D.string() + ".nuevo"));
    EXPECT_FALSE(fs::exists(e.D.string() + ".viejo"));
    EXPECT_FALSE(fs::exists(e.inyectado));
    EXPECT_EQ(fs::exists(e.D / "solo-en-la-vieja"), c.queda == "6");
    if (c.queda == "7") {
      EXPECT_EQ(fs::status(e.D / "Contents/MacOS/Kestra").permissions(), fs::perms(0755));
      EXPECT_EQ(fs::read_symlink(e.D / "Contents/enlace"), "../Info.plist");
      EXPECT_LT(
          getxattr((e.D / "Contents/descargado").c_str(), "user.com.apple.quarantine", nullptr, 0),
          0);
    }
  }
}

std::string guion(const std::string& orden) {
  return Instalador::fuenteDeAdministrador(orden);
}

TEST(AdministradorLinux, SoloEntiendeLaFormaQueEscribeElComponente) {
  const std::pair<std::string, std::optional<std::string>> casos[] = {
      {guion("/bin/rm -rf '/a b'"), "/bin/rm -rf '/a b'"},
      {guion("echo \"a\\b\" 'c\\\\d'"), "echo \"a\\b\" 'c\\\\d'"},
      {guion(""), ""},
      {"do shell script \"a\\nb\" with administrator privileges", std::nullopt},
      {"do shell script \"a\"b\" with administrator privileges", std::nullopt},
      {"do shell script \"abc", std::nullopt},
      {"do shell script \"abc\\", std::nullopt},
      {"do shell script \"ls\"", std::nullopt},
      {guion("ls") + " and more", std::nullopt},
      {" " + guion("ls"), std::nullopt},
  };
  for (const auto& [fuente, orden] : casos) {
    SCOPED_TRACE(fuente);
    EXPECT_EQ(AdministradorLinux::ordenDeGuion(fuente), orden);
  }
}

TEST(AdministradorLinux, EjecutaLaOrdenPorPkexecYTraduceSuEstado) {
  CarpetaTemporal t;
  // Paths with every character that needs care in the shell and in AppleScript.
  const fs::path de = t.ruta() / "Fuente 'a' \"b\" \\c.app";
  const fs::path a = t.ruta() / "Destino 'x' \"y\" \\z.app";
  const fs::path corrio = t.ruta() / "pkexec-corrio";
  escribirArchivo(de / "Contents/MacOS/x", "programa");
  const std::string copiar =
      "/usr/bin/ditto " + entrecomillar(de.string()) + " " + entrecomillar(a.string());
  struct Caso {
    const char* caso;
    const char* pkexec;  // the stand-in's body; nullptr: there is no pkexec
    std::string fuente;
    ResultadoDeGuion esperado;
  };
  const Caso casos[] = {
      {"authorised, with the platform's tools", "exec \"$@\"", guion(copiar), {}},
      {"the command fails", "exec \"$@\"", guion("exit 3"), {true, true, 3}},
      {"dismissed", "exit 126", guion("true"), {true, true, -128}},
      {"not authorised or no agent", "exit 127", guion("true"), {true, true, 127}},
      {"no pkexec", nullptr, guion("true"), {true, true, std::nullopt}},
      {"another source is not run", "exec \"$@\"", "do shell script \"true\"", {false, false, {}}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    const fs::path pkexec = t.ruta() / "pkexec";
    fs::remove(corrio);
    fs::remove(pkexec);
    if (c.pkexec) {
      escribirArchivo(pkexec, "#!/bin/sh\n: > " + entrecomillar(corrio) + "\n" + c.pkexec + "\n");
      fs::permissions(pkexec, fs::perms(0755));
    }
    ProcesosLinux procesos;
    procesos.establecerHerramienta("pkexec", pkexec.string());
    ResultadoDeGuion r = AdministradorLinux(procesos).ejecutarAppleScript(c.fuente);
    EXPECT_EQ(r.compilado, c.esperado.compilado);
    EXPECT_EQ(r.error, c.esperado.error);
    EXPECT_EQ(r.numeroDeError, c.esperado.numeroDeError);
    EXPECT_EQ(fs::exists(corrio), c.pkexec && c.esperado.compilado);
  }
  EXPECT_EQ(leerArchivo(a / "Contents/MacOS/x"), "programa");
}

}  // namespace
}  // namespace ovelmar
