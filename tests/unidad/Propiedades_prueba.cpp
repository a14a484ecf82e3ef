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
  const Valor todos(Diccionario{
      {"texto", "texto con ñ y <marcas> & \"comillas\""},
      {"enteros", Lista{Valor(0), Valor(-1), Valor(kMin), Valor(kMax)}},
      {"reales", Lista{Valor(3.0), Valor(-0.5)}},
      {"", Lista{Valor(true), Valor(false)}},
      {"datos", Datos{{0, 1, 2, 255}}},
      {"fecha", Fecha{1.7e9}},
      {"vacios", Lista{Valor(Lista{}), Valor(Diccionario{})}},
  });
  PropiedadesLinux p;
  const std::string xml = p.escribirXml(todos);
  EXPECT_EQ(p.leer(xml), todos) << xml;
  EXPECT_EQ(p.leer(binarioDe(xml)), todos);
}

// What is read, kind included (none: refused rather than half-read).
TEST(Propiedades, LoMalFormadoNoSeLee) {
  PropiedadesLinux p;
  const std::pair<std::string, std::optional<Valor>> casos[] = {
      // Above the signed range: a number, but not one an integer reading accepts.
      {envolver("<integer>18446744073709551615</integer>"), Valor(18446744073709551615.0)},
      {envolver("<real>3</real>"), Valor(3.0)},
      {"", std::nullopt},
      {"<plist><dict><key>a</key><integer>zz</integer><string>x</dict>", std::nullopt},
      {envolver("<dict><key>a</key><string>x</string"), std::nullopt},
      {std::string("bplist00") + std::string(64, '\xff'), std::nullopt},
      // A NUL cannot be part of XML text.
      {envolver(std::string("<string>a\0b</string>", 20)), std::nullopt},
      // Binary lists whose texts hold a NUL, as a dictionary key and as a UTF-16 value.
      {std::string("\x62\x70\x6c\x69\x73\x74\x30\x30\xd1\x01\x02\x53\x61\x00\x62\x51\x78\x08"
                   "\x0b\x0f\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x03"
                   "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x11",
                   52),
       std::nullopt},
      {std::string("\x62\x70\x6c\x69\x73\x74\x30\x30\xd1\x01\x02\x51\x61\x63\x00\x64\x00\x00"
                   "\x00\xe9\x08\x0b\x0d\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00"
                   "\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                   "\x14",
                   55),
       std::nullopt},
  };
  for (const auto& [bytes, esperado] : casos) EXPECT_EQ(p.leer(bytes), esperado) << bytes;
}

std::string repetir(const std::string& t, std::uint32_t n) {
  std::string r;
  while (n--) r += t;
  return r;
}

// A binary list made by hand of arrays, each holding the indexes of others; the root is
// the first. References and offsets are four bytes wide.
using Refs = std::vector<std::uint32_t>;
std::string binariaAMano(const std::vector<Refs>& objetos) {
  auto be = [](std::uint64_t v, int ancho) {
    std::string s;
    for (int k = ancho - 1; k >= 0; --k) s += static_cast<char>(v >> (8 * k));
    return s;
  };
  std::string b = "bplist00", tabla;
  for (const Refs& r : objetos) {
    tabla += be(b.size(), 4);
    b += r.size() < 15 ? std::string(1, static_cast<char>(0xa0 | r.size()))
                       : "\xaf\x12" + be(r.size(), 4);
    for (std::uint32_t h : r) b += be(h, 4);
  }
  return b + tabla + std::string(6, '\0') + "\x04\x04" + be(objetos.size(), 8) + be(0, 8) +
         be(b.size(), 8);
}

// `n` arrays one inside another, the innermost holding `ultimo`; object n is an empty one.
std::string cadena(std::uint32_t n, const Refs& ultimo = {}) {
  std::vector<Refs> objetos(n + 1);
  for (std::uint32_t i = 0; i + 1 < n; ++i) objetos[i] = {i + 1};
  objetos[n - 1] = ultimo;
  return binariaAMano(objetos);
}

TEST(Propiedades, LoDemasiadoHondoSeRechazaAntesDeLeerlo) {
  PropiedadesLinux p;
  auto xml = [](std::uint32_t n, const std::string& dentro = "") {
    return envolver(repetir("<array>", n) + dentro + repetir("</array>", n));
  };
  const std::tuple<const char*, std::string, bool> casos[] = {
      {"xml 256", xml(256), true},
      {"xml 257", xml(257), false},
      {"xml 1000000", xml(1000000), false},
      {"xml 256 y <array />", xml(256, "<array />"), false},
      {"xml: lo que se salta no cuenta",
       xml(256, "<!-- <array> --><?x <array>?><string><![CDATA[<array>]]></string>"), true},
      {"xml: '>' entre comillas", envolver("<array a=\"x>\"></array>"), false},
      {"xml: subconjunto interno", "<!DOCTYPE plist [ ]>" + xml(1), false},
      {"xml: 16384 claves", xml(1, "<dict>" + repetir("<key>k</key><true/>", 16384) + "</dict>"),
       true},
      {"xml: 16385 claves", xml(1, "<dict>" + repetir("<key>k</key><true/>", 16385) + "</dict>"),
       false},
      {"binaria 256", cadena(256), true},
      {"binaria 257", cadena(257), false},
      {"binaria 1000000", cadena(1000000), false},
      {"ciclo", cadena(2, {0}), false},
      {"compartida y ancha", cadena(1, Refs(100000, 1)), true},
      // Copied out once per reference: 10,000 nodes from 1,200 bytes.
      {"compartida en anchura", binariaAMano({Refs(100, 1), Refs(100, 2), {}}), false},
      // A million nodes 256 levels down: libplist compares each with every level above.
      {"ancha y honda", cadena(255, Refs(1000000, 255)), false},
  };
  for (const auto& [nombre, bytes, leida] : casos)
    EXPECT_EQ(p.leer(bytes).has_value(), leida) << nombre;
}

}  // namespace
}  // namespace ovelmar
