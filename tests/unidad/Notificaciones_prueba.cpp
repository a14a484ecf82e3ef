// The notification center: observers that remove themselves or others while a
// notification is delivered.

#include <gtest/gtest.h>

#include <string>

#include "Plataforma/Notificaciones.hpp"

namespace ovelmar {
namespace {

TEST(Notificaciones, QuitarDuranteLaEntregaSeCumpleEnElActoSinEsperarseASiMismo) {
  Notificaciones n;
  std::string llamados;
  std::uint64_t a = 0, b = 0;
  // The first removes itself and the second; a later one still runs.
  a = n.observar("x", [&](const Diccionario&) {
    llamados += "a";
    n.dejarDeObservar(a);
    n.dejarDeObservar(b);
  });
  b = n.observar("x", [&](const Diccionario&) { llamados += "b"; });
  n.observar("x", [&](const Diccionario&) { llamados += "c"; });
  n.observar("y", [&](const Diccionario&) { llamados += "y"; });
  n.publicar("x", {});
  n.publicar("x", {});
  EXPECT_EQ(llamados, "acc");
}

}  // namespace
}  // namespace ovelmar
