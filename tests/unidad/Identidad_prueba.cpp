#include <gtest/gtest.h>

#include <thread>

#include "Ovelmar/Ovelmar.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar {
namespace {

using pruebas::IdiomasFijos;
using pruebas::PaqueteFijo;

struct CasoIdentidad {
  const char* caso;
  Diccionario info;
  Identidad esperada;
  const char* app;
  const char* aviso;
};

TEST(Identidad, SeLeeDeLaInformacionDelPaquete) {
  const CasoIdentidad casos[] = {
      {"solo nombre corto",
       {{"CFBundleName", "Foo"}},
       {"", "Foo", "Foo"},
       "Foo.app",
       ".actualizacion"},
      {"nombre visible vacío",
       {{"CFBundleName", "Foo"}, {"CFBundleDisplayName", ""}},
       {"", "Foo", "Foo"},
       "Foo.app",
       ".actualizacion"},
      {"nombre visible",
       {{"CFBundleName", "Foo"}, {"CFBundleDisplayName", "Foo Bar"}, {"CFBundleIdentifier", "x.y"}},
       {"x.y", "Foo", "Foo Bar"},
       "Foo Bar.app",
       "x.y.actualizacion"},
      {"identificador numérico",
       {{"CFBundleIdentifier", 42}, {"CFBundleName", "Foo"}},
       {"", "Foo", "Foo"},
       "Foo.app",
       ".actualizacion"},
      {"nombre visible de otro tipo",
       {{"CFBundleName", "Foo"}, {"CFBundleDisplayName", Valor(Lista{"x"})}},
       {"", "Foo", "Foo"},
       "Foo.app",
       ".actualizacion"},
      {"nombre corto de otro tipo",
       {{"CFBundleName", true}},
       {"", "", ""},
       ".app",
       ".actualizacion"},
      {"vacío", {}, {"", "", ""}, ".app", ".actualizacion"},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.caso);
    Identidad i = Identidad::de(c.info);
    EXPECT_EQ(i, c.esperada);
    EXPECT_EQ(i.app(), c.app);
    EXPECT_EQ(i.aviso(), c.aviso);
  }
  Identidad foo{"com.ej.Foo", "Foo", "Foo"};
  EXPECT_EQ(foo.claveDeFallos(), "com.ej.Foo.actualizacion.fallos");
  EXPECT_EQ(foo.carpetaDeDescargas(), "com.ej.Foo/actualizacion");
}

TEST(Identidad, SeConstruyeUnaSolaVezAunqueVariosHilosLlegenJuntos) {
  PaqueteFijo paquete;
  paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}};
  Plataforma p;
  p.paquete = &paquete;
  ReglasDeActualizacion reglas(p);
  std::vector<std::thread> hilos;
  for (int i = 0; i < 8; ++i)
    hilos.emplace_back([&] { EXPECT_EQ(reglas.identificador(), "com.ej.Foo"); });
  for (auto& h : hilos) h.join();
  paquete.infoFija = Diccionario{{"CFBundleIdentifier", "otro"}};
  EXPECT_EQ(reglas.identificador(), "com.ej.Foo");
  EXPECT_EQ(paquete.lecturas, 1);
}

TEST(Identidad, SinInformacionTodoVacio) {
  PaqueteFijo paquete;
  Plataforma p;
  p.paquete = &paquete;
  ReglasDeActualizacion reglas(p);
  EXPECT_EQ(reglas.identidad(), (Identidad{"", "", ""}));
  EXPECT_EQ(ReglasDeActualizacion::tamanoMaximo, 209715200);
  EXPECT_EQ(ReglasDeActualizacion::equipo, "QZ7K4WM2XD");
}

TEST(Idioma, SoloCuentaElPrimeroPreferido) {
  const std::pair<std::vector<std::string>, const char*> casos[] = {
      {{"es-ES"}, "es"},    {{"ES"}, "es"},       {{"es-419"}, "es"}, {{"ES-mx"}, "es"},
      {{"en-GB"}, "en"},    {{"ca-ES"}, "en"},    {{}, "es"},         {{"en-US", "es-ES"}, "en"},
      {{"fr", "es"}, "en"}, {{"es", "en"}, "es"}, {{"e"}, "en"},
  };
  IdiomasFijos idiomas;
  for (const auto& [lista, esperado] : casos) {
    idiomas.lista = lista;
    EXPECT_EQ(L(idiomas, "en", "es"), esperado) << (lista.empty() ? "(vacía)" : lista.front());
  }
}

}  // namespace
}  // namespace ovelmar
