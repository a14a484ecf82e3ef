#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "Ovelmar/Ovelmar.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "unidad/PlataformaDeDobles.hpp"

namespace ovelmar {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
const std::string kSha = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kUrl = "https://example.com/a.zip";

// Rules of a host called com.ej.Foo, with the real URL parser.
struct Reglas : testing::Test, pruebas::PlataformaDeDobles {
  Reglas() { paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}}; }
  ReglasDeActualizacion reglas_{p};
};

TEST_F(Reglas, LeerPedidoAceptaSoloPeticionesValidas) {
  struct Caso {
    const char* caso;
    std::string clave;
    std::optional<Valor> valor;  // absent: the key is removed
    std::optional<Pedido> esperado;
  };
  const Pedido base{kUrl, kSha, 120, 1000};
  auto con = [&](auto cambio) {
    Pedido p = base;
    cambio(p);
    return std::optional<Pedido>(p);
  };
  const std::nullopt_t no = std::nullopt;
  const std::int64_t max = 209715200;  // 200 MiB
  const Caso casos[] = {
      {"other keys ignored", "URL", "http://x", base},
      {"no url", "url", no, no},
      {"http", "url", "http://example.com/a.zip", no},
      {"scheme in capitals", "url", "HTTPS://example.com/a.zip", no},
      {"no host", "url", "https:///a.zip", no},
      {"one slash", "url", "https:/example.com", no},
      {"no scheme", "url", "example.com/a.zip", no},
      {"line break", "url", kUrl + "\r\nX: y", no},
      {"NUL", "url", std::string("https://example.com\0.evil/a.zip", 31), no},
      {"url as data", "url", Valor(Datos{{'h', 't', 't', 'p', 's'}}), no},
      {"url kept as written", "url", "https://u@[::1]:8443/d/a.zip?v=2#f",
       con([](Pedido& p) { p.url = "https://u@[::1]:8443/d/a.zip?v=2#f"; })},
      {"no sha256", "sha256", no, no},
      {"sha256 in capitals", "sha256",
       "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF", base},
      {"63 digits", "sha256", kSha.substr(1), no},
      {"a g", "sha256", kSha.substr(1) + "g", no},
      {"64 bytes, one letter not ASCII", "sha256", kSha.substr(2) + "\xc3\xa9", no},
      {"sha256 as data", "sha256", Valor(Datos{std::vector<std::uint8_t>(32, 0xab)}), no},
      {"no build", "build", no, no},
      {"build 0", "build", 0, no},
      {"build 1", "build", 1, con([](Pedido& p) { p.build = 1; })},
      {"largest build", "build", kMax, con([](Pedido& p) { p.build = kMax; })},
      {"build as text", "build", "42", con([](Pedido& p) { p.build = 42; })},
      {"build as whole real", "build", 42.0, con([](Pedido& p) { p.build = 42; })},
      {"no tamano", "tamano", no, no},
      {"tamano 0", "tamano", 0, no},
      {"tamano 1", "tamano", 1, con([](Pedido& p) { p.tamano = 1; })},
      {"largest tamano", "tamano", max, con([](Pedido& p) { p.tamano = max; })},
      {"one above", "tamano", max + 1, no},
      {"a delta", "base", 119, con([](Pedido& p) { p.base = 119; })},
      {"a delta from the same build", "base", 120, no},
      {"base 0", "base", 0, no},
      {"base as data", "base", Valor(Datos{{'1'}}), no},
      {"firmaDelArchivo too long", "firmaDelArchivo", std::string(1025, 'A'),
       con([](Pedido& p) { p.firmaDelArchivo = ""; })},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.caso);
    Diccionario d{{"url", kUrl}, {"sha256", kSha}, {"build", 120}, {"tamano", 1000}};
    if (c.valor)
      d[c.clave] = *c.valor;
    else
      d.erase(c.clave);
    EXPECT_EQ(reglas_.leerPedido(d), c.esperado);
  }
  EXPECT_EQ(reglas_.leerPedido({}), std::nullopt);
}

TEST(Entero, LeeEnterosRealesExactosYTextos) {
  struct Caso {
    const char* caso;
    Valor valor;
    std::optional<std::int64_t> esperado;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const std::nullopt_t no = std::nullopt;
  const Caso casos[] = {
      {"integer", 7, 7},
      {"largest", kMax, kMax},
      {"smallest", kMin, kMin},
      {"3.0", 3.0, 3},
      {"42.5", 42.5, no},
      {"10^15", 1e15, 1000000000000000},
      {"-2^63", -9223372036854775808.0, kMin},
      {"2^63", 9223372036854775808.0, no},
      {"infinity", inf, no},
      {"NaN", std::numeric_limits<double>::quiet_NaN(), no},
      {"\"42\"", "42", 42},
      {"\"-0\"", "-0", 0},
      {"\"+42\"", "+42", 42},
      {"spaces and tabs", " \t 42\t ", 42},
      {"\"-\"", "-", no},
      {"only spaces", " \t ", no},
      {"line break", "42\n", no},
      {"two signs", "+-1", no},
      {"digits not ASCII", "\xd9\xa3", no},
      {"no-break space", std::string("\xc2\xa0") + "42", no},
      {"NUL after", std::string("42\0", 3), no},
      {"largest as text", "9223372036854775807", kMax},
      {"one above", "9223372036854775808", no},
      {"smallest as text", "-9223372036854775808", kMin},
      {"leading zeros", std::string(1000, '0') + "1", 1},
      {"true", true, no},
      {"data", Datos{{'4', '2'}}, no},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.caso);
    EXPECT_EQ(ReglasDeActualizacion::entero(&c.valor), c.esperado);
  }
  EXPECT_EQ(ReglasDeActualizacion::entero(nullptr), std::nullopt);
}

TEST_F(Reglas, ComprobarAppAplicaLaPrimeraReglaQueToca) {
  struct Caso {
    const char* caso;
    std::optional<std::string> identificador;
    std::optional<std::int64_t> build;
    bool tieneMacOS;
    std::int64_t esperado, actual;
    Comprobacion resultado;
  };
  using C = Comprobacion;
  const std::optional<std::string> foo = "com.ej.Foo";
  const Caso casos[] = {
      {"no MacOS", foo, 120, false, 120, 1, C::noEsAppDeMac()},
      {"no identifier", std::nullopt, 5, true, 120, 1, C::otroIdentificador(std::nullopt)},
      {"identifier in capitals", "COM.EJ.FOO", 120, true, 120, 1,
       C::otroIdentificador("COM.EJ.FOO")},
      {"no build", foo, std::nullopt, true, 120, 1, C::otroBuild(std::nullopt)},
      {"newer", foo, 120, true, 120, 119, C::vale()},
      {"the same", foo, 120, true, 120, 120, C::noEsMasNueva()},
      {"older", foo, 120, true, 120, 200, C::noEsMasNueva()},
      {"extremes, signed", foo, kMax, true, kMax, kMin, C::vale()},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.caso);
    EXPECT_EQ(reglas_.comprobarApp(c.identificador, c.build, c.tieneMacOS, c.esperado, c.actual),
              c.resultado);
  }
  // A host without an identifier accepts only an empty one.
  paquete.infoFija.reset();
  ReglasDeActualizacion sinIdentificador(p);
  EXPECT_EQ(sinIdentificador.comprobarApp("", 2, true, 2, 1), C::vale());
  EXPECT_EQ(sinIdentificador.comprobarApp("x", 2, true, 2, 1), C::otroIdentificador("x"));
}

TEST_F(Reglas, RequisitoDeFirmaExacto) {
  const std::string resto =
      "\" and certificate 1[field.1.2.840.113635.100.6.2.6] exists"
      " and certificate leaf[field.1.2.840.113635.100.6.1.13] exists"
      " and certificate leaf[subject.OU] = \"";
  EXPECT_EQ(
      reglas_.requisitoDeFirma(ReglasDeActualizacion::equipo),
      "anchor apple generic and identifier \"com.ej.Foo" + resto + "QZ7K4WM2XD\" and notarized");
  // Passed through unescaped: a quote makes a requirement that will not compile later.
  EXPECT_EQ(reglas_.requisitoDeFirma("T\"M", "a\"b"),
            "anchor apple generic and identifier \"a\"b" + resto + "T\"M\" and notarized");
}

TEST(Identidad, SeLeeDeLaInformacionDelPaquete) {
  const std::pair<Diccionario, Identidad> casos[] = {
      {{{"CFBundleName", "Foo"}, {"CFBundleDisplayName", ""}}, {"", "Foo", "Foo"}},
      {{{"CFBundleName", "Foo"}, {"CFBundleDisplayName", "Foo Bar"}, {"CFBundleIdentifier", "x.y"}},
       {"x.y", "Foo", "Foo Bar"}},
      {{{"CFBundleIdentifier", 42}, {"CFBundleName", "Foo"}}, {"", "Foo", "Foo"}},
      {{{"CFBundleName", true}}, {"", "", ""}},
  };
  for (const auto& [info, esperada] : casos)
    EXPECT_EQ(Identidad::de(info), esperada) << testing::PrintToString(info);
  EXPECT_EQ((Identidad{"", "Foo", "Foo Bar"}).app(), "Foo Bar.app");  // the visible name
}

TEST_F(Reglas, LaIdentidadSeLeeUnaSolaVezAunqueVariosHilosLlegenJuntos) {
  std::vector<std::thread> hilos;
  for (int i = 0; i < 8; ++i)
    hilos.emplace_back([&] { EXPECT_EQ(reglas_.identificador(), "com.ej.Foo"); });
  for (auto& h : hilos) h.join();
  paquete.infoFija = Diccionario{{"CFBundleIdentifier", "otro"}};
  EXPECT_EQ(reglas_.identificador(), "com.ej.Foo");
  EXPECT_EQ(paquete.lecturas, 1);
}

TEST(Idioma, SoloCuentaElPrimeroPreferido) {
  const std::pair<std::vector<std::string>, const char*> casos[] = {
      {{"es-ES"}, "es"},    {{"ES"}, "es"},       {{"es-419"}, "es"}, {{"ES-mx"}, "es"},
      {{"en-GB"}, "en"},    {{"ca-ES"}, "en"},    {{}, "es"},         {{"en-US", "es-ES"}, "en"},
      {{"fr", "es"}, "en"}, {{"es", "en"}, "es"}, {{"e"}, "en"},
  };
  pruebas::IdiomasFijos idiomas;
  for (const auto& [lista, esperado] : casos) {
    idiomas.lista = lista;
    EXPECT_EQ(L(idiomas, "en", "es"), esperado) << (lista.empty() ? "(vacía)" : lista.front());
  }
}

}  // namespace
}  // namespace ovelmar
