// The application's check of its own signature over real signed bundles, and the start
// times that tell a gone process from a reused process number.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "comun/AutoridadDePrueba.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"
#include "comun/Esperar.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

TEST(FirmaPropia, ValidaSoloElPaqueteFirmadoPorElEquipoConSuIdentificador) {
  const AutoridadDePrueba autoridad;
  struct Caso {
    const char* caso;
    const char* equipo;  // nullptr: unsigned
    std::int32_t estado;
  };
  const Caso casos[] = {
      {"signed by the team", "QZ7K4WM2XD", 0},
      {"unsigned", nullptr, FirmaDeCodigo::errSecCSUnsigned},
      {"another team", "OTRO000000", FirmaDeCodigo::errSecCSReqFailed},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    CarpetaTemporal t;
    const fs::path app = t.ruta() / "Foo.app";
    crearPaquete(app, infoPlist({{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}}));
    escribirArchivo(app / "Contents/MacOS/Foo", "#!/bin/sh\n");
    if (c.equipo) {
      ASSERT_EQ(autoridad.firmarYNotarizar(app, c.equipo), "");
    }
    PlataformaLinux linux(autoridad.raiz());
    Plataforma p = linux.plataforma();
    PaqueteFijo paquete;
    paquete.rutaFija = app.string();
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}};
    p.paquete = &paquete;
    ReglasDeActualizacion reglas(p);
    Instalador instalador(p, reglas);
    Actualizador act(p, reglas, instalador);
    ASSERT_TRUE(esperarA([&] { return buscar(act.firmaPropia(), "estado"); }));
    const Diccionario r = act.firmaPropia();
    EXPECT_EQ(r.at("estado"), Valor(static_cast<std::int64_t>(c.estado)));
    EXPECT_EQ(r.at("valida"), Valor(c.estado == 0));
    EXPECT_FALSE(textoDe(r, "descripcion")->empty());
  }
}

double ahora() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST(Procesos, ElInicioDeUnProcesoEsCuandoEmpezo) {
  ProcesosLinux procesos;
  const double antes = ahora();
  const pid_t hijo = fork();
  if (hijo == 0) {
    pause();
    _exit(0);
  }
  const std::optional<double> suyo = procesos.inicio(hijo);
  const double despues = ahora();
  kill(hijo, SIGKILL);
  waitpid(hijo, nullptr, 0);
  ASSERT_TRUE(suyo);
  // Within a clock tick (10 ms) and the precision of the two clocks read.
  EXPECT_GE(*suyo, antes - 0.02);
  EXPECT_LE(*suyo, despues + 0.02);
  EXPECT_LE(procesos.inicio(procesos.pid()).value_or(despues + 1), antes);
  EXPECT_EQ(procesos.inicio(hijo), std::nullopt);  // reaped: no such process
  EXPECT_EQ(procesos.inicio(0), std::nullopt);
}

}  // namespace
}  // namespace ovelmar
