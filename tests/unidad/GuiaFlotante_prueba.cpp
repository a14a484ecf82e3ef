#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Ovelmar/GuiaFlotante.hpp"

namespace ovelmar {
namespace {

TEST(GuiaFlotante, DescribeLaTarjetaDeCualquierPedido) {
  struct Caso {
    const char* caso;
    Diccionario pedido;
    std::string titulo;
    std::vector<std::string> pasos;
    std::string boton = "OK";
  };
  const std::vector<std::string> tres{"Open Settings", "Turn on Kestra", "Come back"};
  const std::string x(3000, 'x');
  std::string enes;
  for (int i = 0; i < 700; ++i) enes += "ñ";  // two bytes each
  const Caso casos[] = {
      {"only a heading", {{"titulo", "Kestra is ready"}}, "Kestra is ready", {}},
      {"three steps",
       {{"pasos", Lista(tres.begin(), tres.end())}, {"cerrar", "Done"}},
       "",
       tres,
       "Done"},
      {"a number among the steps", {{"pasos", Lista{"Open", 2}}}, "", {}},
      {"every value mistyped",
       {{"titulo", 3}, {"pasos", Diccionario{}}, {"cerrar", Lista{}}},
       "",
       {}},
      {"thousands of steps",
       {{"pasos", Lista(5000, "step")}},
       "",
       std::vector<std::string>(200, "step")},
      {"huge texts cut at a character boundary",
       {{"titulo", "a" + enes}, {"pasos", Lista{x + x}}, {"cerrar", x}},
       "a" + enes.substr(0, 1022),
       {x + x.substr(0, 1096)},
       x.substr(0, 256)},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    const DescripcionDePanel d = GuiaFlotante::describir(GuiaFlotante::leer(c.pedido));
    EXPECT_EQ(d.encabezado.texto, c.titulo);
    EXPECT_EQ(d.nombreAccesible, c.titulo);
    EXPECT_EQ(d.boton.titulo, c.boton);
    ASSERT_EQ(d.pasos.size(), c.pasos.size());
    for (std::size_t i = 0; i < d.pasos.size(); ++i) {
      EXPECT_EQ(d.pasos[i].numero.texto, std::to_string(i + 1));
      EXPECT_EQ(d.pasos[i].texto.texto, c.pasos[i]);
    }
  }
  // Steps wrap at 370 points in a card of fixed width; their numbers keep one width; the
  // heading keeps to one line; the button answers Escape.
  const DescripcionDePanel d = GuiaFlotante::describir(GuiaFlotante::leer(casos[1].pedido));
  EXPECT_TRUE(d.ancho == 440 && d.pasos[2].texto.anchoMaximo == 370 &&
              d.pasos[2].numero.fuente.cifrasMonoespaciadas && d.encabezado.anchoMaximo == 0 &&
              d.boton.equivalente == U'\x1b');

  // Centred, 28 above the bottom of the work area; content grows it upwards, never wider,
  // and what the work area cannot hold is cut.
  struct Lugar {
    Rectangulo area;
    double alto;
    Rectangulo marco;
  };
  for (const Lugar& l : {Lugar{{64, 0, 1216, 740}, 400, {452, 312, 440, 400}},
                         Lugar{{0, 30, 1280, 740}, 5000, {420, 30, 440, 712}}})
    EXPECT_EQ(d.marco(l.area, l.alto), l.marco) << l.alto;
}

}  // namespace
}  // namespace ovelmar
