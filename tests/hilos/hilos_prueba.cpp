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

TEST(Hilos, DiezHilosObservanYLeenElEstadoMientrasElPrincipalPublica) {
  void* objeto = ov_crear(ov_clase("Ovelmar"));
  ASSERT_TRUE(objeto);
  constexpr int kHilos = 10, kVueltasMaximas = 20000, kAvisos = 200;
  std::atomic<int> avisos{0}, estadosMalos{0};
  std::atomic<bool> publicado{false};
  std::latch empezados(kHilos);
  unsigned long fijo = ov_observar(
      ".actualizacion",
      [](const char*, void* n) { static_cast<std::atomic<int>*>(n)->fetch_add(1); }, &avisos);
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
        std::string estado = respuesta(objeto, "estadoDeLaActualizacion");
        if (estado.find("<key>fase</key>") == std::string::npos ||
            (estado.find("nada") == std::string::npos &&
             estado.find("fuera_de_aplicaciones") == std::string::npos))
          estadosMalos.fetch_add(1);
        if (i == 0) empezados.count_down();
        ov_dejar_de_observar(token);
        delete vistos;
      }
    });
  empezados.wait();
  // The test program is not installed, so every request fails at once and publishes.
  for (int build = 1; build <= kAvisos; ++build) {
    const std::string pedido =
        "<plist><dict><key>url</key><string>https://127.0.0.1/a.zip</string>"
        "<key>sha256</key><string>" +
        std::string(64, 'a') + "</string><key>build</key><integer>" + std::to_string(build) +
        "</integer><key>tamano</key><integer>10</integer></dict></plist>";
    respuesta(objeto, "actualizar:", pedido.c_str());
  }
  publicado = true;
  for (std::thread& h : hilos) h.join();
  EXPECT_EQ(avisos.load(), kAvisos);
  EXPECT_EQ(estadosMalos.load(), 0);
  EXPECT_NE(respuesta(objeto, "estadoDeLaActualizacion").find("<integer>200</integer>"),
            std::string::npos);
  ov_dejar_de_observar(fijo);
  ov_soltar(objeto);
}

TEST(Hilos, ElBuclePrincipalDesdeOtroHiloDetieneElProceso) {
  EXPECT_DEATH(std::thread([] { ov_ejecutar_bucle(0); }).join(),
               "'ov_ejecutar_bucle' must be sent on the main thread");
}

}  // namespace
