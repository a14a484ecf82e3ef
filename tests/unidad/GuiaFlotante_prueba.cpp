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
    std::string boton;
  };
  const std::vector<std::string> pasos{"Open Settings", "Turn on Kestra", "Come back"};
  const Lista tres(pasos.begin(), pasos.end());
  Lista muchos(5000, Valor("step"));
  const std::string largo(3000, 'x');
  std::string enes;
  for (int i = 0; i < 700; ++i) enes += "ñ";  // two bytes each
  const Caso casos[] = {
      {"only a heading", {{"titulo", "Kestra is ready"}}, "Kestra is ready", {}, "OK"},
      {"three steps", {{"pasos", tres}, {"cerrar", "Done"}}, "", pasos, "Done"},
      {"a number among the steps", {{"pasos", Lista{"Open", 2}}}, "", {}, "OK"},
      {"every value mistyped",
       {{"titulo", 3}, {"pasos", Diccionario{}}, {"cerrar", Lista{}}, {"Titulo", "x"}},
       "",
       {},
       "OK"},
      {"thousands of steps", {{"pasos", muchos}}, "", std::vector<std::string>(200, "step"), "OK"},
      {"huge texts cut at a character",
       {{"titulo", enes}, {"pasos", Lista{largo + largo}}, {"cerrar", largo}},
       enes.substr(0, 1024),
       {largo + largo.substr(0, 1096)},
       largo.substr(0, 256)},
      {"odd cut inside a character",
       {{"titulo", "a" + enes}},
       "a" + enes.substr(0, 1022),
       {},
       "OK"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    const DescripcionDePanel d = GuiaFlotante::describir(GuiaFlotante::leer(c.pedido));
    EXPECT_EQ(d.encabezado.texto, c.titulo);
    EXPECT_EQ(d.nombreAccesible, c.titulo);
    EXPECT_EQ(d.boton.titulo, c.boton);
    EXPECT_EQ(d.boton.equivalente, U'\x1b');
    EXPECT_EQ(d.encabezado.fuente.tamano, 15);
    EXPECT_EQ(d.encabezado.fuente.peso, 600);
    EXPECT_EQ(d.encabezado.color, ColorDeTexto::etiqueta);
    EXPECT_EQ(d.encabezado.anchoMaximo, 0);  // one line
    EXPECT_EQ(d.ancho, 440);
    EXPECT_EQ(d.radio, 18);
    EXPECT_EQ(d.espaciado, 10);
    EXPECT_TRUE(d.margenes.arriba == 18 && d.margenes.izquierda == 20 && d.margenes.abajo == 16 &&
                d.margenes.derecha == 20);
    ASSERT_EQ(d.pasos.size(), c.pasos.size());
    for (std::size_t i = 0; i < d.pasos.size(); ++i) {
      const FilaDePaso& f = d.pasos[i];
      EXPECT_EQ(f.numero.texto, std::to_string(i + 1));
      EXPECT_EQ(f.texto.texto, c.pasos[i]);
      EXPECT_TRUE(f.numero.fuente.tamano == 13 && f.numero.fuente.peso == 700 &&
                  f.numero.fuente.cifrasMonoespaciadas && f.numero.color == ColorDeTexto::acento);
      EXPECT_TRUE(f.texto.fuente.tamano == 13 && f.texto.fuente.peso == 400 &&
                  !f.texto.fuente.cifrasMonoespaciadas &&
                  f.texto.color == ColorDeTexto::etiquetaSecundaria);
      EXPECT_EQ(f.texto.anchoMaximo, 370);  // wraps there
      EXPECT_EQ(f.espaciado, 8);
    }
  }
}

TEST(GuiaFlotante, SeColocaCentradaSobreElBordeInferiorYSoloCreceHaciaArriba) {
  const DescripcionDePanel d = GuiaFlotante::describir({});
  struct Caso {
    const char* caso;
    Rectangulo area;
    double alto;
    Rectangulo marco;
  };
  const Caso casos[] = {
      {"whole screen", {0, 0, 1280, 800}, 171, {420, 601, 440, 171}},
      {"panel below, dock on the left", {64, 0, 1216, 740}, 171, {452, 541, 440, 171}},
      {"taller content: taller, never wider", {64, 0, 1216, 740}, 400, {452, 312, 440, 400}},
      {"taller than the work area: cut", {0, 30, 1280, 740}, 5000, {420, 30, 440, 712}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    EXPECT_EQ(d.marco(c.area, c.alto), c.marco);
  }
}

// Shows nothing; remembers what the controller asked.
class PanelesAnotados : public Paneles {
 public:
  std::vector<std::string> pasos;
  std::function<void()> alCerrar;
  std::uint64_t mostrar(const DescripcionDePanel& d, std::function<void()> cerrar) override {
    alCerrar = std::move(cerrar);
    pasos.push_back("mostrar " + d.encabezado.texto);
    return pasos.size();
  }
  void cerrar(std::uint64_t panel) override { pasos.push_back("cerrar " + std::to_string(panel)); }
};

TEST(GuiaFlotante, UnaSolaTarjetaQueElBotonCierraYQueSeVaConLaGuia) {
  PanelesAnotados paneles;
  {
    GuiaFlotante guia(&paneles);
    guia.cerrar();  // nothing shown: nothing to close
    guia.mostrar({{"titulo", "a"}});
    guia.mostrar({{"titulo", "b"}});
    paneles.alCerrar();  // the button
    EXPECT_FALSE(guia.hayPanel());
    guia.cerrar();
    guia.mostrar({{"titulo", "c"}});
    EXPECT_TRUE(guia.hayPanel());
  }
  EXPECT_EQ(paneles.pasos, (std::vector<std::string>{"mostrar a", "cerrar 1", "mostrar b",
                                                     "cerrar 3", "mostrar c", "cerrar 5"}));
  GuiaFlotante sinPaneles(nullptr);
  sinPaneles.mostrar({{"titulo", "a"}});
  EXPECT_FALSE(sinPaneles.hayPanel());
}

}  // namespace
}  // namespace ovelmar
