#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/UrlsLinux.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar {
namespace {

using pruebas::PaqueteFijo;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

std::string repetir(const std::string& t, int veces) {
  std::string r;
  for (int i = 0; i < veces; ++i) r += t;
  return r;
}

const std::string kSha = repetir("0123456789abcdef", 4);
const std::string kUrl = "https://example.com/a.zip";

// Rules of a host called com.ej.Foo, with the real URL parser.
class Reglas : public testing::Test {
 protected:
  Reglas() {
    paquete_.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}};
    plataforma_.paquete = &paquete_;
    plataforma_.urls = &urls_;
  }
  PaqueteFijo paquete_;
  UrlsLinux urls_;
  Plataforma plataforma_;
  ReglasDeActualizacion reglas_{plataforma_};
};

struct CasoPedido {
  const char* caso;
  // Changes to a valid request; an absent value removes the key.
  std::vector<std::pair<std::string, std::optional<Valor>>> cambios;
  std::optional<Pedido> esperado;
};

TEST_F(Reglas, LeerPedidoAceptaSoloPeticionesValidas) {
  const Pedido base{kUrl, kSha, 120, 1000};
  auto con = [&](auto cambio) {
    Pedido p = base;
    cambio(p);
    return std::optional<Pedido>(p);
  };
  const std::nullopt_t no = std::nullopt;
  const CasoPedido casos[] = {
      {"válida", {}, base},
      {"claves de más", {{"otra", "x"}, {"URL", "http://x"}}, base},
      // url
      {"sin url", {{"url", no}}, no},
      {"http", {{"url", "http://example.com/a.zip"}}, no},
      {"HTTPS en mayúsculas", {{"url", "HTTPS://example.com/a.zip"}}, no},
      {"esquema mezclado", {{"url", "hTTps://example.com/a.zip"}}, no},
      {"sin anfitrión", {{"url", "https:///a.zip"}}, no},
      {"solo esquema", {{"url", "https://"}}, no},
      {"una barra", {{"url", "https:/example.com"}}, no},
      {"sin barras", {{"url", "https:example.com"}}, no},
      {"sin esquema", {{"url", "example.com/a.zip"}}, no},
      {"relativa", {{"url", "//example.com/a.zip"}}, no},
      {"vacía", {{"url", ""}}, no},
      {"espacio delante", {{"url", " " + kUrl}}, no},
      {"espacio dentro", {{"url", "https://example.com/a b.zip"}}, no},
      {"salto de línea", {{"url", kUrl + "\r\nX: y"}}, no},
      {"NUL", {{"url", std::string("https://example.com\0.evil/a.zip", 31)}}, no},
      {"UTF-8 roto", {{"url", "https://example.com/\xff.zip"}}, no},
      {"puerto fuera de rango", {{"url", "https://example.com:99999999/a.zip"}}, no},
      {"url lista", {{"url", Valor(Lista{kUrl})}}, no},
      {"url diccionario", {{"url", Valor(Diccionario{{"url", kUrl}})}}, no},
      {"url datos", {{"url", Valor(Datos{{'h', 't', 't', 'p', 's'}})}}, no},
      {"url número", {{"url", 443}}, no},
      {"puerto, usuario y consulta",
       {{"url", "https://u@example.com:8443/d/a.zip?v=2#f"}},
       con([](Pedido& p) { p.url = "https://u@example.com:8443/d/a.zip?v=2#f"; })},
      {"IPv6", {{"url", "https://[::1]/a.zip"}}, con([](Pedido& p) {
         p.url = "https://[::1]/a.zip";
       })},
      // sha256
      {"sin sha256", {{"sha256", no}}, no},
      {"sha256 en mayúsculas", {{"sha256", repetir("0123456789ABCDEF", 4)}}, base},
      {"sha256 mezclado", {{"sha256", repetir("0123456789AbCdEf", 4)}}, base},
      {"63 cifras", {{"sha256", kSha.substr(1)}}, no},
      {"65 cifras", {{"sha256", kSha + "0"}}, no},
      {"una g", {{"sha256", kSha.substr(1) + "g"}}, no},
      {"64 bytes con una letra no ASCII", {{"sha256", kSha.substr(2) + "\xc3\xa9"}}, no},
      {"espacios alrededor", {{"sha256", " " + kSha + " "}}, no},
      {"sha256 en datos", {{"sha256", Valor(Datos{std::vector<std::uint8_t>(32, 0xab)})}}, no},
      // build
      {"sin build", {{"build", no}}, no},
      {"build 0", {{"build", 0}}, no},
      {"build -3", {{"build", -3}}, no},
      {"build 1", {{"build", 1}}, con([](Pedido& p) { p.build = 1; })},
      {"build máximo", {{"build", kMax}}, con([](Pedido& p) { p.build = kMax; })},
      {"build \"42\"", {{"build", "42"}}, con([](Pedido& p) { p.build = 42; })},
      {"build \" 42 \"", {{"build", " 42 "}}, con([](Pedido& p) { p.build = 42; })},
      {"build \"+42\"", {{"build", "+42"}}, con([](Pedido& p) { p.build = 42; })},
      {"build \"42\\n\"", {{"build", "42\n"}}, no},
      {"build \"4 2\"", {{"build", "4 2"}}, no},
      {"build 42.5", {{"build", 42.5}}, no},
      {"build 42.0", {{"build", 42.0}}, con([](Pedido& p) { p.build = 42; })},
      {"build verdadero", {{"build", true}}, no},
      // tamano
      {"sin tamano", {{"tamano", no}}, no},
      {"tamano 0", {{"tamano", 0}}, no},
      {"tamano 1", {{"tamano", 1}}, con([](Pedido& p) { p.tamano = 1; })},
      {"tamano máximo", {{"tamano", ReglasDeActualizacion::tamanoMaximo}}, con([](Pedido& p) {
         p.tamano = 209715200;
       })},
      {"tamano máximo más uno", {{"tamano", ReglasDeActualizacion::tamanoMaximo + 1}}, no},
      {"tamano máximo en texto", {{"tamano", "209715200"}}, con([](Pedido& p) {
         p.tamano = 209715200;
       })},
      {"tamano máximo más uno en texto", {{"tamano", "209715201"}}, no},
      {"tamano máximo real", {{"tamano", 209715200.0}}, con([](Pedido& p) {
         p.tamano = 209715200;
       })},
      {"tamano -1", {{"tamano", -1}}, no},
      {"tamano enorme", {{"tamano", kMax}}, no},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.caso);
    Diccionario d{{"url", kUrl}, {"sha256", kSha}, {"build", 120}, {"tamano", 1000}};
    for (const auto& [clave, valor] : c.cambios) {
      if (valor)
        d[clave] = *valor;
      else
        d.erase(clave);
    }
    EXPECT_EQ(reglas_.leerPedido(d), c.esperado);
  }
  EXPECT_EQ(reglas_.leerPedido({}), std::nullopt);
}

struct CasoEntero {
  const char* caso;
  Valor valor;
  std::optional<std::int64_t> esperado;
};

TEST(Entero, LeeEnterosRealesExactosYTextos) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const CasoEntero casos[] = {
      {"entero", 7, 7},
      {"negativo", -7, -7},
      {"máximo", kMax, kMax},
      {"mínimo", kMin, kMin},
      // Reals
      {"3.0", 3.0, 3},
      {"-0.0", -0.0, 0},
      {"42.5", 42.5, std::nullopt},
      {"-2.5", -2.5, std::nullopt},
      {"0.1", 0.1, std::nullopt},
      {"10^15 - 1", 999999999999999.0, 999999999999999},
      {"10^15", 1e15, 1000000000000000},
      {"10^15 y medio", 1e15 + 0.5, std::nullopt},
      {"2^62", 4611686018427387904.0, 4611686018427387904},
      {"-2^63", -9223372036854775808.0, kMin},
      {"2^63", 9223372036854775808.0, std::nullopt},
      {"-2^63 menos un paso", std::nextafter(-9223372036854775808.0, -inf), std::nullopt},
      {"1e300", 1e300, std::nullopt},
      {"infinito", inf, std::nullopt},
      {"menos infinito", -inf, std::nullopt},
      {"NaN", nan, std::nullopt},
      // Texts
      {"\"42\"", "42", 42},
      {"\"-0\"", "-0", 0},
      {"\"+42\"", "+42", 42},
      {"\"007\"", "007", 7},
      {"espacios y tabuladores", " \t 42\t ", 42},
      {"\"+\"", "+", std::nullopt},
      {"\"-\"", "-", std::nullopt},
      {"\" - \"", " - ", std::nullopt},
      {"vacío", "", std::nullopt},
      {"solo espacios", " \t ", std::nullopt},
      {"salto de línea detrás", "42\n", std::nullopt},
      {"salto de línea delante", "\n42", std::nullopt},
      {"retorno de carro", "42\r", std::nullopt},
      {"espacio dentro", "4 2", std::nullopt},
      {"dos signos", "+-1", std::nullopt},
      {"signo detrás", "1-", std::nullopt},
      {"decimal", "42.0", std::nullopt},
      {"exponente", "1e3", std::nullopt},
      {"hexadecimal", "0x10", std::nullopt},
      {"cifras no ASCII", "\xd9\xa3", std::nullopt},
      {"espacio no separable",
       "\xc2\xa0"
       "42",
       std::nullopt},
      {"NUL detrás", std::string("42\0", 3), std::nullopt},
      {"UTF-8 roto",
       "\xff"
       "42",
       std::nullopt},
      {"máximo en texto", "9223372036854775807", kMax},
      {"máximo más uno", "9223372036854775808", std::nullopt},
      {"mínimo en texto", "-9223372036854775808", kMin},
      {"mínimo menos uno", "-9223372036854775809", std::nullopt},
      {"ceros delante de todo", std::string(1000, '0') + "1", 1},
      {"cifras sin fin", std::string(1000, '9'), std::nullopt},
      // Other kinds
      {"verdadero", true, std::nullopt},
      {"falso", false, std::nullopt},
      {"datos", Datos{{'4', '2'}}, std::nullopt},
      {"fecha", Fecha{42}, std::nullopt},
      {"lista", Lista{42}, std::nullopt},
      {"diccionario", Diccionario{{"n", 42}}, std::nullopt},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.caso);
    EXPECT_EQ(ReglasDeActualizacion::entero(&c.valor), c.esperado);
  }
  EXPECT_EQ(ReglasDeActualizacion::entero(nullptr), std::nullopt);
}

struct CasoComprobacion {
  const char* caso;
  std::optional<std::string> identificador;
  std::optional<std::int64_t> build;
  bool tieneMacOS;
  std::int64_t esperado;
  std::int64_t actual;
  Comprobacion resultado;
};

TEST_F(Reglas, ComprobarAppAplicaLaPrimeraReglaQueToca) {
  using C = Comprobacion;
  const std::optional<std::string> foo = "com.ej.Foo";
  const CasoComprobacion casos[] = {
      {"sin MacOS gana a todo", foo, 121, false, 121, 1, C::noEsAppDeMac()},
      {"sin MacOS ni identificador", std::nullopt, std::nullopt, false, 1, 1, C::noEsAppDeMac()},
      {"sin identificador", std::nullopt, 5, true, 120, 1, C::otroIdentificador(std::nullopt)},
      {"otro identificador con otro build", "com.ej.Otra", 5, true, 120, 1,
       C::otroIdentificador("com.ej.Otra")},
      {"identificador en mayúsculas", "COM.EJ.FOO", 120, true, 120, 1,
       C::otroIdentificador("COM.EJ.FOO")},
      {"identificador vacío", "", 120, true, 120, 1, C::otroIdentificador("")},
      {"otro build", foo, 121, true, 120, 1, C::otroBuild(121)},
      {"build anterior al anunciado", foo, 119, true, 120, 1, C::otroBuild(119)},
      {"sin build", foo, std::nullopt, true, 120, 1, C::otroBuild(std::nullopt)},
      {"sin build aunque sea vieja", foo, std::nullopt, true, 120, 500, C::otroBuild(std::nullopt)},
      {"más nueva", foo, 120, true, 120, 119, C::vale()},
      {"la misma", foo, 120, true, 120, 120, C::noEsMasNueva()},
      {"más vieja", foo, 120, true, 120, 200, C::noEsMasNueva()},
      {"actual negativo", foo, 1, true, 1, -5, C::vale()},
      {"extremos", foo, kMax, true, kMax, kMin, C::vale()},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.caso);
    EXPECT_EQ(reglas_.comprobarApp(c.identificador, c.build, c.tieneMacOS, c.esperado, c.actual),
              c.resultado);
  }
  EXPECT_NE(C::otroBuild(std::nullopt), C::otroBuild(0));
  EXPECT_NE(C::otroIdentificador(std::nullopt), C::otroIdentificador(""));
}

TEST(ComprobarApp, UnAnfitrionSinIdentificadorSoloAceptaUnoVacio) {
  PaqueteFijo paquete;
  Plataforma p;
  p.paquete = &paquete;
  ReglasDeActualizacion reglas(p);
  EXPECT_EQ(reglas.comprobarApp("", 2, true, 2, 1), Comprobacion::vale());
  EXPECT_EQ(reglas.comprobarApp("x", 2, true, 2, 1), Comprobacion::otroIdentificador("x"));
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
  EXPECT_EQ(reglas_.requisitoDeFirma("", ""),
            "anchor apple generic and identifier \"" + resto + "\" and notarized");
}

TEST(Hex, DosCifrasMinusculasPorByte) {
  EXPECT_EQ(ReglasDeActualizacion::hex({}), "");
  const std::vector<std::uint8_t> bytes{0x00, 0x0f, 0xab};
  EXPECT_EQ(ReglasDeActualizacion::hex(bytes), "000fab");
  std::vector<std::uint8_t> todos(256);
  std::string esperado;
  for (int i = 0; i < 256; ++i) {
    todos[i] = static_cast<std::uint8_t>(i);
    char dos[3];
    std::snprintf(dos, sizeof dos, "%02x", i);
    esperado += dos;
  }
  EXPECT_EQ(ReglasDeActualizacion::hex(todos), esperado);
}

TEST(SinContrasena, SoloCuandoTodoEsCierto) {
  for (int i = 0; i < 8; ++i) {
    bool a = i & 1, b = i & 2, c = i & 4;
    EXPECT_EQ(ReglasDeActualizacion::sinContrasena(a, b, c), i == 7) << a << b << c;
  }
}

std::string unir(std::initializer_list<const char*> lineas) {
  std::string r;
  for (const char* l : lineas) r += (r.empty() ? "" : "\n") + std::string(l);
  return r;
}

TEST(Guiones, TextosExactos) {
  const std::string cambio = unir({
      "pid=\"$1\"; app=\"$2\"; nueva=\"$3\"; vieja=\"$2.viejo\"",
      "i=0; while /bin/kill -0 \"$pid\" 2>/dev/null && [ \"$i\" -lt 300 ]; do /bin/sleep 0.1; "
      "i=$((i+1)); done",
      "/bin/rm -rf \"$vieja\"",
      "if /bin/mv \"$app\" \"$vieja\"; then",
      "  if /bin/mv \"$nueva\" \"$app\"; then /bin/rm -rf \"$vieja\"; else /bin/mv \"$vieja\" "
      "\"$app\"; /bin/rm -rf \"$nueva\"; fi",
      "fi",
      "/usr/bin/open \"$app\"",
  });
  const std::string reabrir = unir({
      "i=0; while /bin/kill -0 \"$1\" 2>/dev/null && [ \"$i\" -lt 300 ]; do /bin/sleep 0.1; "
      "i=$((i+1)); done",
      "/usr/bin/open \"$2\"",
  });
  EXPECT_EQ(ReglasDeActualizacion::guionDeCambio, cambio);
  EXPECT_EQ(ReglasDeActualizacion::guionDeCambio.size(), 338u);
  EXPECT_EQ(ReglasDeActualizacion::guionDeReabrir, reabrir);
  EXPECT_EQ(ReglasDeActualizacion::guionDeReabrir.size(), 116u);
}

}  // namespace
}  // namespace ovelmar
