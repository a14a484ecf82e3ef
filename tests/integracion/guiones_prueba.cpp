// The swap and reopen scripts, run for real under /bin/sh with a real child process
// standing in for the host and recording stand-ins for the opener and the pause.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

extern char** environ;

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using pruebas::CarpetaTemporal;
using pruebas::escribirArchivo;

std::string leer(const fs::path& ruta) {
  std::ifstream f(ruta, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

int lineas(const fs::path& ruta) {
  std::string t = leer(ruta);
  return static_cast<int>(std::count(t.begin(), t.end(), '\n'));
}

pid_t arrancar(std::vector<std::string> argv) {
  std::vector<char*> p;
  for (auto& a : argv) p.push_back(a.data());
  p.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, p[0], nullptr, nullptr, p.data(), environ) != 0) return -1;
  return pid;
}

// A real process in the host's place; killed and reaped at the latest on destruction
// (a zombie would still answer kill -0).
class Anfitrion {
 public:
  Anfitrion() : pid_(arrancar({"/bin/sleep", "60"})) {}
  ~Anfitrion() { terminar(); }
  void terminar() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// The identifier of a process that has ended and been reaped.
std::string pidTerminado() {
  pid_t pid = arrancar({"/bin/true"});
  waitpid(pid, nullptr, 0);
  return std::to_string(pid);
}

class Guiones : public testing::Test {
 protected:
  void SetUp() override {
    // The opener writes its arguments one per line; the pause counts itself and, unless
    // told otherwise, really pauses.
    escribirArchivo(abridor_,
                    "#!/bin/sh\nprintf '%s\\n' \"$@\" >> " + entrecomillar(abiertas_) + "\n");
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

  // A bundle whose Contents/version says which one it is.
  void paquete(const fs::path& ruta, const std::string& version) {
    pruebas::crearPaquete(ruta, pruebas::infoPlist({{"CFBundleVersion", version}}));
    escribirArchivo(ruta / "Contents" / "version", version);
  }
  static std::string version(const fs::path& ruta) { return leer(ruta / "Contents" / "version"); }

  int correr(std::string_view guion, std::vector<std::string> argumentos) {
    std::vector<std::string> todo{"-c", std::string(guion), "sh"};
    todo.insert(todo.end(), argumentos.begin(), argumentos.end());
    auto r = procesos_.ejecutar("/bin/sh", todo);
    return std::holds_alternative<int>(r) ? std::get<int>(r) : -1;
  }

  CarpetaTemporal tmp_;
  std::string abiertas_ = tmp_ / "abiertas";
  std::string pausas_ = tmp_ / "pausas";
  std::string abridor_ = tmp_ / "abrir";
  std::string pausa_ = tmp_ / "pausa";
  ProcesosLinux procesos_;
};

struct CasoCambio {
  const char* caso;
  bool hayApp, hayNueva, haySobrante;
  const char* enApp;  // version left at the installed place ("" = nothing)
  bool quedaLaNueva;  // the new bundle still at $3
};

TEST_F(Guiones, CambioConElProcesoYaTerminado) {
  const CasoCambio casos[] = {
      {"cambio normal", true, true, false, "2", false},
      {"quita un .viejo que sobró", true, true, true, "2", false},
      {"sin la nueva: vuelve la vieja", true, false, false, "1", false},
      {"sin la nueva y con sobrante", true, false, true, "1", false},
      {"sin app: la nueva se queda", false, true, false, "", true},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.caso);
    fs::path dir = tmp_.ruta() / c.caso;
    fs::path app = dir / "Foo.app", nueva = dir / "Foo.app.nuevo", vieja = dir / "Foo.app.viejo";
    fs::create_directories(dir);
    if (c.hayApp) paquete(app, "1");
    if (c.hayNueva) paquete(nueva, "2");
    if (c.haySobrante) paquete(vieja, "0");
    fs::remove(abiertas_);

    EXPECT_EQ(correr(ReglasDeActualizacion::guionDeCambio,
                     {pidTerminado(), app.string(), nueva.string()}),
              0);
    EXPECT_EQ(version(app), c.enApp);
    EXPECT_EQ(fs::exists(nueva), c.quedaLaNueva);
    EXPECT_FALSE(fs::exists(vieja));
    EXPECT_EQ(leer(abiertas_), app.string() + "\n");
  }
  // The host was already gone: not a single pause.
  EXPECT_FALSE(fs::exists(pausas_));
}

TEST_F(Guiones, EsperaMientrasElProcesoViveYCambiaCuandoTermina) {
  fs::path app = tmp_.ruta() / "Foo.app", nueva = tmp_.ruta() / "Foo.app.nuevo";
  paquete(app, "1");
  paquete(nueva, "2");
  Anfitrion anfitrion;
  ASSERT_GT(anfitrion.pid(), 0);
  auto guion = std::async(std::launch::async, [&] {
    return correr(ReglasDeActualizacion::guionDeCambio,
                  {std::to_string(anfitrion.pid()), app.string(), nueva.string()});
  });
  // Let the script pause a few times while the host lives (bounded).
  for (int i = 0; i < 200 && lineas(pausas_) < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(lineas(pausas_), 3);
  EXPECT_EQ(version(app), "1");
  EXPECT_EQ(version(nueva), "2");
  EXPECT_FALSE(fs::exists(abiertas_));

  anfitrion.terminar();
  ASSERT_EQ(guion.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(guion.get(), 0);
  EXPECT_EQ(version(app), "2");
  EXPECT_FALSE(fs::exists(nueva));
  EXPECT_FALSE(fs::exists(tmp_.ruta() / "Foo.app.viejo"));
  EXPECT_EQ(leer(abiertas_), app.string() + "\n");
  EXPECT_LT(lineas(pausas_), 300);
}

TEST_F(Guiones, UnProcesoQueNoTerminaNoDetieneNingunGuion) {
  // Pauses that do not pause: the 300 checks go by at once.
  pausaDeVerdad(false);
  Anfitrion anfitrion;
  ASSERT_GT(anfitrion.pid(), 0);
  fs::path app = tmp_.ruta() / "Foo.app", nueva = tmp_.ruta() / "Foo.app.nuevo";
  paquete(app, "1");
  paquete(nueva, "2");

  EXPECT_EQ(correr(ReglasDeActualizacion::guionDeCambio,
                   {std::to_string(anfitrion.pid()), app.string(), nueva.string()}),
            0);
  EXPECT_EQ(lineas(pausas_), 300);
  EXPECT_EQ(version(app), "2");
  EXPECT_EQ(leer(abiertas_), app.string() + "\n");

  fs::remove(pausas_);
  fs::remove(abiertas_);
  EXPECT_EQ(correr(ReglasDeActualizacion::guionDeReabrir,
                   {std::to_string(anfitrion.pid()), app.string()}),
            0);
  EXPECT_EQ(lineas(pausas_), 300);
  EXPECT_EQ(leer(abiertas_), app.string() + "\n");
}

TEST_F(Guiones, RutasConEspaciosComillasYLetrasNoAscii) {
  const char* carpetas[] = {
      "con espacios",
      "comilla ' simple",
      "comilla \" doble",
      "ñandú é 日本",
      "$HOME `true` $(false) \\ * ; & |",
  };
  for (const char* nombre : carpetas) {
    SCOPED_TRACE(nombre);
    fs::path dir = tmp_.ruta() / nombre;
    fs::path app = dir / "Mi App ' \".app", nueva = dir / "nueva ñ.app";
    paquete(app, "1");
    paquete(nueva, "2");
    fs::remove(abiertas_);
    EXPECT_EQ(correr(ReglasDeActualizacion::guionDeCambio,
                     {pidTerminado(), app.string(), nueva.string()}),
              0);
    EXPECT_EQ(version(app), "2");
    EXPECT_FALSE(fs::exists(nueva));
    EXPECT_FALSE(fs::exists(app.string() + ".viejo"));
    EXPECT_EQ(leer(abiertas_), app.string() + "\n");

    // Reopening only opens: the bundle is left as it is.
    fs::remove(abiertas_);
    EXPECT_EQ(correr(ReglasDeActualizacion::guionDeReabrir, {pidTerminado(), app.string()}), 0);
    EXPECT_EQ(version(app), "2");
    EXPECT_EQ(leer(abiertas_), app.string() + "\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  }
  EXPECT_FALSE(fs::exists(pausas_));
}

}  // namespace
}  // namespace ovelmar
