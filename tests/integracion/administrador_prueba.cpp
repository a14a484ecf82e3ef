// The administrator route on this platform: the one AppleScript form the component
// writes, run through stand-ins for pkexec (no elevation happens in these tests).

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "Ovelmar/Instalador.hpp"
#include "Plataforma/linux/AdministradorLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using pruebas::escribirArchivo;

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
  pruebas::CarpetaTemporal t;
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
  EXPECT_EQ(pruebas::leerArchivo(a / "Contents/MacOS/x"), "programa");
}

}  // namespace
}  // namespace ovelmar
