// The host's user defaults as a property-list file under XDG_CONFIG_HOME.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Plataforma/linux/PreferenciasLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

namespace ovelmar::pruebas {
namespace {

namespace fs = std::filesystem;

class Preferencias : public testing::Test {
 protected:
  Preferencias() { setenv("XDG_CONFIG_HOME", (carpeta / "config").c_str(), 1); }

  std::optional<Diccionario> archivo(const fs::path& ruta) {
    std::ifstream f(ruta, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::optional<Valor> v = propiedades.leer(bytes);
    if (!v || !v->diccionario()) return std::nullopt;
    return *v->diccionario();
  }

  CarpetaTemporal carpeta;
  PropiedadesLinux propiedades;
  PreferenciasLinux preferencias{propiedades, "com.ejemplo.Foo"};
};

TEST_F(Preferencias, EscribeEnUnaListaPorAnfitrionYConservaLasDemasClaves) {
  const Valor registro(Diccionario{{"build", Valor(42)}, {"veces", Valor(2)}});
  preferencias.escribir("otra", Valor("x"));
  preferencias.escribir("com.ejemplo.Foo.actualizacion.fallos", registro);

  EXPECT_EQ(preferencias.leer("com.ejemplo.Foo.actualizacion.fallos"), registro);
  EXPECT_EQ(preferencias.leer("otra"), Valor("x"));
  EXPECT_FALSE(preferencias.leer("ninguna"));
  const fs::path ruta = carpeta.ruta() / "config" / "com.ejemplo.Foo.plist";
  EXPECT_EQ(preferencias.ruta(), ruta.string());
  EXPECT_EQ(archivo(ruta), (Diccionario{{"otra", Valor("x")},
                                        {"com.ejemplo.Foo.actualizacion.fallos", registro}}));
  // Written through a temporary file that is renamed: nothing else is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(ruta.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(Preferencias, LaCarpetaSeMiraEnCadaAcceso) {
  preferencias.escribir("clave", Valor(1));
  setenv("XDG_CONFIG_HOME", (carpeta / "otra/mas").c_str(), 1);
  EXPECT_FALSE(preferencias.leer("clave"));
  preferencias.escribir("clave", Valor(2));
  EXPECT_TRUE(fs::exists(carpeta / "otra/mas/com.ejemplo.Foo.plist"));

  // Unset (or not absolute): ~/.config.
  setenv("HOME", (carpeta / "casa").c_str(), 1);
  for (const char* valor : {static_cast<const char*>(nullptr), "", "relativa"}) {
    SCOPED_TRACE(valor ? valor : "(unset)");
    if (valor)
      setenv("XDG_CONFIG_HOME", valor, 1);
    else
      unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(preferencias.ruta(), carpeta / "casa/.config/com.ejemplo.Foo.plist");
  }
}

TEST_F(Preferencias, UnArchivoEstropeadoNoEsRegistroYSeReemplazaEntero) {
  const fs::path ruta = carpeta.ruta() / "config" / "com.ejemplo.Foo.plist";
  const char* estropeados[] = {
      "",
      "no es una lista",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string></array></plist>",
      "bplist00\xff\xff\xff",
  };
  for (const char* contenido : estropeados) {
    SCOPED_TRACE(contenido);
    escribirArchivo(ruta, contenido);
    EXPECT_FALSE(preferencias.leer("a"));
    preferencias.escribir("b", Valor(true));
    EXPECT_EQ(archivo(ruta), (Diccionario{{"b", Valor(true)}}));
  }
}

TEST_F(Preferencias, SinIdentificadorElArchivoEsPuntoPlist) {
  PreferenciasLinux sinNombre(propiedades, "");
  sinNombre.escribir("a", Valor(1.5));
  EXPECT_EQ(sinNombre.leer("a"), Valor(1.5));
  EXPECT_TRUE(fs::exists(carpeta / "config/.plist"));
}

}  // namespace
}  // namespace ovelmar::pruebas
