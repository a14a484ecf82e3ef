// Property lists in and out through libplist: kinds stay distinct and every malformed
// input is refused rather than half-read.

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "comun/CarpetaTemporal.hpp"

namespace ovelmar {
namespace {

using pruebas::binarioDe;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

std::string envolver(const std::string& cuerpo) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + cuerpo + "</plist>";
}

TEST(Propiedades, CadaTipoIdaYVueltaEnXmlYBinario) {
  const Valor valores[] = {
      Valor("texto con ñ y <marcas> & \"comillas\""),
      Valor(std::int64_t{0}),
      Valor(std::int64_t{-1}),
      Valor(kMin),
      Valor(kMax),
      Valor(std::int64_t{42}),
      Valor(3.0),
      Valor(-0.5),
      Valor(true),
      Valor(false),
      Valor(Datos{{0, 1, 2, 255}}),
      Valor(Fecha{1.7e9}),
      Valor(Lista{Valor(1), Valor("dos"), Valor(Lista{})}),
      Valor(Diccionario{{"fase", "nada"}, {"n", Diccionario{{"x", 1.5}}}, {"", Valor(false)}}),
  };
  PropiedadesLinux p;
  for (const Valor& v : valores) {
    std::string xml = p.escribirXml(v);
    SCOPED_TRACE(xml);
    std::optional<Valor> leido = p.leer(xml);
    ASSERT_TRUE(leido);
    EXPECT_EQ(*leido, v);
    std::optional<Valor> binario = p.leer(binarioDe(xml));
    ASSERT_TRUE(binario);
    EXPECT_EQ(*binario, v);
  }
}

TEST(Propiedades, LosEnterosConservanSuTipoYSuSigno) {
  PropiedadesLinux p;
  const std::pair<const char*, Valor> casos[] = {
      {"<integer>-5</integer>", Valor(std::int64_t{-5})},
      {"<integer>9223372036854775807</integer>", Valor(kMax)},
      {"<integer>-9223372036854775808</integer>", Valor(kMin)},
      // Above the signed range: a number, but not one an integer reading accepts.
      {"<integer>18446744073709551615</integer>", Valor(18446744073709551615.0)},
      {"<real>3</real>", Valor(3.0)},
      {"<true/>", Valor(true)},
  };
  for (const auto& [xml, esperado] : casos) {
    std::optional<Valor> v = p.leer(envolver(xml));
    ASSERT_TRUE(v) << xml;
    EXPECT_EQ(*v, esperado) << xml;
    EXPECT_EQ(v->contenido().index(), esperado.contenido().index()) << xml;
  }
}

TEST(Propiedades, LoMalFormadoNoSeLee) {
  PropiedadesLinux p;
  std::string profundo;
  for (int i = 0; i < 2000; ++i) profundo += "<array>";
  for (int i = 0; i < 2000; ++i) profundo += "</array>";
  const std::string casos[] = {
      "",
      "no es una lista",
      "<plist><dict><key>a</key><integer>zz</integer><string>x</dict>",
      envolver("<dict><key>a</key><string>x</string"),
      "bplist00\x01\x02\x03",
      std::string("bplist00") + std::string(64, '\xff'),
      envolver(profundo),
      // A NUL cannot be part of XML text.
      envolver(std::string("<string>a\0b</string>", 20)),
      // Binary lists whose texts hold a NUL, as a dictionary key and as a UTF-16 value.
      std::string("\x62\x70\x6c\x69\x73\x74\x30\x30\xd1\x01\x02\x53\x61\x00\x62\x51\x78\x08"
                  "\x0b\x0f\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x03"
                  "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x11",
                  52),
      std::string("\x62\x70\x6c\x69\x73\x74\x30\x30\xd1\x01\x02\x51\x61\x63\x00\x64\x00\x00"
                  "\x00\xe9\x08\x0b\x0d\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00"
                  "\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                  "\x14",
                  55),
  };
  for (const std::string& c : casos) EXPECT_FALSE(p.leer(c)) << c.substr(0, 60);
}

TEST(Propiedades, ElXmlEscritoEsUnaListaDePropiedades) {
  PropiedadesLinux p;
  std::string xml = p.escribirXml(Valor(true));
  EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos);
  EXPECT_NE(xml.find("<true/>"), std::string::npos);
}

}  // namespace
}  // namespace ovelmar
