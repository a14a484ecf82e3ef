// The swap and reopen scripts, run for real under /bin/sh with a real child process
// standing in for the host and recording stand-ins for the opener and the pause.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Esperar.hpp"

extern char** environ;

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using pruebas::escribirArchivo;
using pruebas::leerArchivo;

int lineas(const fs::path& ruta) {
  std::string t = leerArchivo(ruta);
  return static_cast<int>(std::count(t.begin(), t.end(), '\n'));
}

pid_t arrancar(const char* programa, const char* argumento) {
  char* argv[] = {const_cast<char*>(programa), const_cast<char*>(argumento), nullptr};
  pid_t pid = -1;
  return posix_spawn(&pid, programa, nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

// The identifier of a process that has ended and been reaped.
std::string pidTerminado() {
  pid_t pid = arrancar("/bin/true", nullptr);
  waitpid(pid, nullptr, 0);
  return std::to_string(pid);
}

// A real process in the host's place, killed and reaped at the latest on destruction (a
// zombie would still answer kill -0).
struct Anfitrion {
  pid_t pid = arrancar("/bin/sleep", "60");
  ~Anfitrion() { terminar(); }
  void terminar() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

class Guiones : public testing::Test {
 protected:
  // The opener writes its arguments one per line; the pause counts itself and, unless told
  // otherwise, really pauses.
  void SetUp() override {
    escribirArchivo(abridor_, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> " + entrecomillar(abiertas_));
    fs::permissions(abridor_, fs::perms::owner_all);
    pausaDeVerdad(true);
    procesos_.establecerHerramienta("/usr/bin/open", abridor_);
    procesos_.establecerHerramienta("/bin/sleep", pausa_);
  }
  void pausaDeVerdad(bool si) {
    escribirArchivo(pausa_, "#!/bin/sh\necho x >> " + entrecomillar(pausas_) + "\n" +
                                (si ? "exec /bin/sleep \"$@\"\n" : ""));
    fs::permissions(pausa_, fs::perms::owner_all);
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

  pruebas::CarpetaTemporal tmp_;
  std::string abiertas_ = tmp_ / "abiertas", pausas_ = tmp_ / "pausas";
  std::string abridor_ = tmp_ / "abrir", pausa_ = tmp_ / "pausa";
  ProcesosLinux procesos_;
};

TEST_F(Guiones, ConElProcesoYaTerminadoCambiaEnSeguidaConCualquierRuta) {
  struct Caso {
    const char* caso;
    const char* carpeta;
    bool hayApp, hayNueva, haySobrante;
    const char* enApp;  // version left at the installed place ("" = nothing)
  };
  const Caso casos[] = {
      {"swap", "con espacios", true, true, false, "2"},
      {"a leftover .viejo removed", "comilla ' simple", true, true, true, "2"},
      {"no new bundle: the old one back", "comilla \" doble", true, false, true, "1"},
      {"no installed bundle: the new one stays", "ñandú é 日本", false, true, false, ""},
      {"shell syntax in the path", "$HOME `true` $(false) \\ * ; & |", true, true, false, "2"},
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

    EXPECT_EQ(correr(ReglasDeActualizacion::guionDeCambio,
                     {pidTerminado(), app.string(), nueva.string()}),
              0);
    EXPECT_EQ(version(app), c.enApp);
    EXPECT_EQ(fs::exists(nueva), !c.hayApp);
    // Reopening only opens: the bundle is left as it is.
    EXPECT_EQ(correr(ReglasDeActualizacion::guionDeReabrir, {pidTerminado(), app.string()}), 0);
    EXPECT_EQ(version(app), c.enApp);
    EXPECT_EQ(leerArchivo(abiertas_), app.string() + "\n" + app.string() + "\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  }
  // The host was already gone: not a single pause.
  EXPECT_FALSE(fs::exists(pausas_));
}

TEST_F(Guiones, EsperaMientrasElProcesoViveYCambiaCuandoTermina) {
  const fs::path app = tmp_.ruta() / "Foo.app", nueva = tmp_.ruta() / "Foo.app.nuevo";
  paquete(app, "1");
  paquete(nueva, "2");
  Anfitrion anfitrion;
  ASSERT_GT(anfitrion.pid, 0);
  auto guion = std::async(std::launch::async, [&, pid = std::to_string(anfitrion.pid)] {
    return correr(ReglasDeActualizacion::guionDeCambio, {pid, app.string(), nueva.string()});
  });
  // Nothing moves while the host lives.
  ASSERT_TRUE(pruebas::esperarA([&] { return lineas(pausas_) >= 3; }));
  EXPECT_EQ(version(app), "1");
  EXPECT_EQ(version(nueva), "2");
  EXPECT_FALSE(fs::exists(abiertas_));

  anfitrion.terminar();
  ASSERT_EQ(guion.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(guion.get(), 0);
  EXPECT_EQ(version(app), "2");
  EXPECT_FALSE(fs::exists(nueva));
  EXPECT_FALSE(fs::exists(tmp_.ruta() / "Foo.app.viejo"));
  EXPECT_EQ(leerArchivo(abiertas_), app.string() + "\n");
  EXPECT_LT(lineas(pausas_), 300);
}

TEST_F(Guiones, UnProcesoQueNoTerminaNoDetieneNingunGuion) {
  pausaDeVerdad(false);  // the 300 checks go by at once
  Anfitrion anfitrion;
  ASSERT_GT(anfitrion.pid, 0);
  const std::string pid = std::to_string(anfitrion.pid);
  const fs::path app = tmp_.ruta() / "Foo.app", nueva = tmp_.ruta() / "Foo.app.nuevo";
  paquete(app, "1");
  paquete(nueva, "2");

  EXPECT_EQ(correr(ReglasDeActualizacion::guionDeCambio, {pid, app.string(), nueva.string()}), 0);
  EXPECT_EQ(version(app), "2");
  EXPECT_EQ(correr(ReglasDeActualizacion::guionDeReabrir, {pid, app.string()}), 0);
  EXPECT_EQ(lineas(pausas_), 600);
  EXPECT_EQ(leerArchivo(abiertas_), app.string() + "\n" + app.string() + "\n");
}

}  // namespace
}  // namespace ovelmar
