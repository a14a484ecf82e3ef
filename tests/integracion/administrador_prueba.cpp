// The administrator route on this platform: the one AppleScript form the component
// writes, run through stand-ins for pkexec (no elevation happens in these tests).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "Plataforma/linux/AdministradorLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "Ovelmar/Instalador.hpp"
#include "comun/CarpetaTemporal.hpp"

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

// As the component writes it.
std::string guion(const std::string& orden) { return Instalador::fuenteDeAdministrador(orden); }

TEST(AdministradorLinux, SoloEntiendeLaFormaQueEscribeElComponente) {
  struct Caso {
    const char* nombre;
    std::string fuente;
    std::optional<std::string> orden;
  };
  const Caso casos[] = {
      {"plain", guion("/bin/rm -rf '/a b'"), "/bin/rm -rf '/a b'"},
      {"escapes undone", guion("echo \"a\\b\" 'c\\\\d'"), "echo \"a\\b\" 'c\\\\d'"},
      {"empty command", guion(""), ""},
      {"other escape", "do shell script \"a\\nb\" with administrator privileges", std::nullopt},
      {"unescaped quote inside", "do shell script \"a\"b\" with administrator privileges",
       std::nullopt},
      {"never closed", "do shell script \"abc", std::nullopt},
      {"backslash at the end", "do shell script \"abc\\", std::nullopt},
      {"without privileges", "do shell script \"ls\"", std::nullopt},
      {"something after", guion("ls") + " and more", std::nullopt},
      {"something before", " " + guion("ls"), std::nullopt},
      {"another script", "display dialog \"hola\"", std::nullopt},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    EXPECT_EQ(AdministradorLinux::ordenDeGuion(c.fuente), c.orden);
  }
}

class Administrador : public ::testing::Test {
 protected:
  // A stand-in for pkexec: records that it ran, then runs the body.
  void pkexec(const std::string& cuerpo) {
    const fs::path programa = t_.ruta() / "pkexec";
    escribirArchivo(programa, "#!/bin/sh\n: > '" + (t_.ruta() / "pkexec-corrio").string() + "'\n" +
                                  cuerpo + "\n");
    fs::permissions(programa, fs::perms(0755));
    procesos_.establecerHerramienta("pkexec", programa.string());
  }
  bool corrio() { return fs::exists(t_.ruta() / "pkexec-corrio"); }

  CarpetaTemporal t_;
  ProcesosLinux procesos_;
  AdministradorLinux administrador_{procesos_};
};

TEST_F(Administrador, EjecutaLaOrdenConLasHerramientasDeLaPlataforma) {
  pkexec("exec \"$@\"");  // no elevation: just the command
  // Paths with every character that needs care in the shell and in AppleScript.
  const fs::path de = t_.ruta() / "Fuente 'a' \"b\" \\c.app";
  const fs::path a = t_.ruta() / "Destino 'x' \"y\" \\z.app";
  escribirArchivo(de / "Contents/MacOS/x", "programa");
  const std::string orden = "/usr/bin/ditto " + entrecomillar(de.string()) + " " +
                            entrecomillar(a.string()) + " && /usr/bin/xattr -dr " +
                            "com.apple.quarantine " + entrecomillar(a.string());

  ResultadoDeGuion r = administrador_.ejecutarAppleScript(guion(orden));

  EXPECT_TRUE(r.compilado);
  EXPECT_FALSE(r.error);
  EXPECT_FALSE(r.numeroDeError);
  EXPECT_EQ(leer(a / "Contents/MacOS/x"), "programa");
}

TEST_F(Administrador, EstadosDePkexec) {
  struct Caso {
    const char* nombre;
    std::string cuerpo;
    std::optional<std::int64_t> numero;  // empty: success
  };
  const Caso casos[] = {
      {"dismissed", "exit 126", -128},
      {"not authorised or no agent", "exit 127", 127},
      {"the command fails", "exec \"$@\"", 3},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    pkexec(c.cuerpo);
    ResultadoDeGuion r = administrador_.ejecutarAppleScript(guion("exit 3"));
    EXPECT_TRUE(r.compilado);
    EXPECT_TRUE(r.error);
    EXPECT_EQ(r.numeroDeError, c.numero);
  }
}

TEST_F(Administrador, OtraFuenteNoSeEjecuta) {
  pkexec("exec \"$@\"");
  ResultadoDeGuion r = administrador_.ejecutarAppleScript("do shell script \"touch /x\"");
  EXPECT_FALSE(r.compilado);
  EXPECT_FALSE(r.error);
  EXPECT_FALSE(corrio());
}

TEST_F(Administrador, SinPkexecEsUnErrorSinNumero) {
  procesos_.establecerHerramienta("pkexec", (t_.ruta() / "no-existe").string());
  ResultadoDeGuion r = administrador_.ejecutarAppleScript(guion("true"));
  EXPECT_TRUE(r.compilado);
  EXPECT_TRUE(r.error);
  EXPECT_FALSE(r.numeroDeError);
}

}  // namespace
}  // namespace ovelmar
