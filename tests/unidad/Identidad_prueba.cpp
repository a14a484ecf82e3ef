#include <gtest/gtest.h>

#include <thread>

#include "Ovelmar/Ovelmar.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar {
namespace {

using pruebas::IdiomasFijos;
using pruebas::PaqueteFijo;

TEST(Identidad, SeLeeDeLaInformacionDelPaquete) {
  const std::pair<Diccionario, Identidad> casos[] = {
      {{{"CFBundleName", "Foo"}, {"CFBundleDisplayName", ""}}, {"", "Foo", "Foo"}},
      {{{"CFBundleName", "Foo"}, {"CFBundleDisplayName", "Foo Bar"}, {"CFBundleIdentifier", "x.y"}},
       {"x.y", "Foo", "Foo Bar"}},
      {{{"CFBundleIdentifier", 42}, {"CFBundleName", "Foo"}}, {"", "Foo", "Foo"}},
      {{{"CFBundleName", "Foo"}, {"CFBundleDisplayName", Valor(Lista{"x"})}}, {"", "Foo", "Foo"}},
      {{{"CFBundleName", true}}, {"", "", ""}},
  };
  for (const auto& [info, esperada] : casos)
    EXPECT_EQ(Identidad::de(info), esperada) << testing::PrintToString(info);
  EXPECT_EQ((Identidad{"", "Foo", "Foo Bar"}).app(), "Foo Bar.app");  // the visible name
}

TEST(Identidad, SeConstruyeUnaSolaVezAunqueVariosHilosLlegenJuntos) {
  PaqueteFijo paquete;
  Plataforma p;
  p.paquete = &paquete;
  paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}};
  ReglasDeActualizacion reglas(p);
  std::vector<std::thread> hilos;
  for (int i = 0; i < 8; ++i)
    hilos.emplace_back([&] { EXPECT_EQ(reglas.identificador(), "com.ej.Foo"); });
  for (auto& h : hilos) h.join();
  paquete.infoFija = Diccionario{{"CFBundleIdentifier", "otro"}};
  EXPECT_EQ(reglas.identificador(), "com.ej.Foo");
  EXPECT_EQ(paquete.lecturas, 1);
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
