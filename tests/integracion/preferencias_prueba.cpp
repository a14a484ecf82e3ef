// The host's user defaults as a property-list file under XDG_CONFIG_HOME.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "Plataforma/linux/ArchivosLinux.hpp"
#include "Plataforma/linux/PreferenciasLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

namespace ovelmar::pruebas {
namespace {

namespace fs = std::filesystem;

class Preferencias : public testing::Test {
 protected:
  Preferencias() { setenv("XDG_CONFIG_HOME", (carpeta / "config").c_str(), 1); }

  CarpetaTemporal carpeta;
  PropiedadesLinux propiedades;
  ArchivosLinux archivos;
  PreferenciasLinux preferencias{propiedades, archivos, "com.ejemplo.Foo"};
  const fs::path ruta = carpeta / "config/com.ejemplo.Foo.plist";
};

TEST_F(Preferencias, EscribeEnUnaListaPorAnfitrionYConservaLasDemasClaves) {
  const Valor registro(Diccionario{{"build", Valor(42)}, {"veces", Valor(2)}});
  preferencias.escribir("otra", Valor("x"));
  preferencias.escribir("com.ejemplo.Foo.actualizacion.fallos", registro);
  EXPECT_EQ(preferencias.leer("com.ejemplo.Foo.actualizacion.fallos"), registro);
  EXPECT_FALSE(preferencias.leer("ninguna"));
  EXPECT_EQ(preferencias.ruta(), ruta.string());
  EXPECT_EQ(
      propiedades.leer(leerArchivo(ruta)),
      Valor(Diccionario{{"otra", Valor("x")}, {"com.ejemplo.Foo.actualizacion.fallos", registro}}));
  // Written through a temporary file that is renamed: nothing else is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(ruta.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(Preferencias, LaCarpetaSeMiraEnCadaAcceso) {
  preferencias.escribir("clave", Valor(1));
  setenv("XDG_CONFIG_HOME", (carpeta / "otra/mas").c_str(), 1);
  EXPECT_FALSE(preferencias.leer("clave"));
  preferencias.escribir("clave", Valor(2));
  EXPECT_TRUE(fs::exists(carpeta / "otra/mas/com.ejemplo.Foo.plist"));
  // Unset, empty or relative: ~/.config.
  setenv("HOME", (carpeta / "casa").c_str(), 1);
  for (const char* valor : {static_cast<const char*>(nullptr), "", "relativa"}) {
    SCOPED_TRACE(valor ? valor : "(unset)");
    valor ? setenv("XDG_CONFIG_HOME", valor, 1) : unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(preferencias.ruta(), carpeta / "casa/.config/com.ejemplo.Foo.plist");
  }
}

TEST_F(Preferencias, UnArchivoEstropeadoNoEsRegistroYSeReemplazaEntero) {
  for (const char* contenido : {"", "<plist><dict><key>a</key>", "bplist00\xff\xff\xff",
                                "<plist><array><string>a</string></array></plist>"}) {
    SCOPED_TRACE(contenido);
    escribirArchivo(ruta, contenido);
    EXPECT_FALSE(preferencias.leer("a"));
    preferencias.escribir("b", Valor(true));
    EXPECT_EQ(propiedades.leer(leerArchivo(ruta)), Valor(Diccionario{{"b", Valor(true)}}));
  }
}

}  // namespace
}  // namespace ovelmar::pruebas
