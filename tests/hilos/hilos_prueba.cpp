// A host linked to the bundle that uses it from several threads at once: observers come
// and go and the update state is read elsewhere while the main thread publishes.

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "anfitrion/ovelmar.h"

namespace {

std::string respuesta(void* objeto, const char* selector, const char* argumento = nullptr) {
  char* r = ov_enviar(objeto, selector, argumento);
  std::string t = r ? r : "";
  ov_liberar(r);
  return t;
}

// Counted on the main thread; the observer removes itself, from inside its own call, at
// the last notification the test expects.
struct Fijo {
  int avisos = 0;
  unsigned long token = 0;
};

TEST(Hilos, DiezHilosObservanYLeenElEstadoMientrasElPrincipalPublica) {
  void* objeto = ov_crear(ov_clase("Ovelmar"));
  ASSERT_TRUE(objeto);
  constexpr int kHilos = 10, kVueltasMaximas = 20000, kAvisos = 200;
  Fijo fijo;
  fijo.token = ov_observar(
      ".actualizacion",
      [](const char*, void* f) {
        auto* yo = static_cast<Fijo*>(f);
        if (++yo->avisos == kAvisos) ov_dejar_de_observar(yo->token);
      },
      &fijo);
  std::atomic<bool> publicado{false};
  std::latch empezados(kHilos);
  std::vector<std::thread> hilos;
  for (int h = 0; h < kHilos; ++h)
    hilos.emplace_back([&] {
      // Until the main thread has published everything, within a bound.
      for (int i = 0; i < kVueltasMaximas && (i == 0 || !publicado); ++i) {
        // Freed right after the removal: a call still running or still to come writes
        // to freed memory.
        auto* vistos = new int(0);
        unsigned long token = ov_observar(
            ".actualizacion", [](const char*, void* v) { ++*static_cast<int*>(v); }, vistos);
        EXPECT_NE(respuesta(objeto, "estadoDeLaActualizacion").find("<key>fase</key>"),
                  std::string::npos);
        if (i == 0) empezados.count_down();
        ov_dejar_de_observar(token);
        delete vistos;
      }
    });
  empezados.wait();
  // The test program is not installed, so every request fails at once and publishes.
  const std::string pedido =
      "<plist><dict><key>url</key><string>https://127.0.0.1/a</string>"
      "<key>sha256</key><string>" +
      std::string(64, 'a') + "</string><key>tamano</key><integer>1</integer><key>build</key>";
  for (int build = 1; build <= kAvisos + 1; ++build)
    respuesta(objeto, "actualizar:",
              (pedido + "<integer>" + std::to_string(build) + "</integer></dict></plist>").c_str());
  publicado = true;
  for (std::thread& h : hilos) h.join();
  EXPECT_EQ(fijo.avisos, kAvisos);
  ov_soltar(objeto);
}

TEST(Hilos, ElBuclePrincipalDesdeOtroHiloDetieneElProceso) {
  EXPECT_DEATH(std::thread([] { ov_ejecutar_bucle(0); }).join(),
               "'ov_ejecutar_bucle' must be sent on the main thread");
}

}  // namespace
