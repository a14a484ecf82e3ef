// The archive's Ed25519 signature over real files, with keys and signatures made by the
// openssl command as a maker makes them; and the start times that tell a gone process from
// a later one that took its number.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "Plataforma/linux/RelojLinux.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar {
namespace {

using namespace pruebas;

TEST(FirmaDelArchivo, ConClaveSeExigeYSeDecideAntesDeDesempaquetar) {
  CarpetaTemporal t;
  auto orden = [&](const std::string& o) {
    return ejecutarOrden("cd '" + t.ruta().string() + "' && " + o + " 2>&1").texto;
  };
  orden(
      "for k in k otra; do openssl genpkey -algorithm ed25519 -out $k; done; echo x > x; "
      "zip -q a.zip x; openssl dgst -sha256 -binary a.zip > d; sha256sum a.zip | head -c64 > h; "
      "openssl dgst -sha256 -binary x > e");
  const std::string clave =
      orden("openssl pkey -in k -pubout -outform DER | tail -c32 | base64 -w0");
  auto firma = [&](const std::string& mensaje, const std::string& k = "k") {
    return orden("openssl pkeyutl -sign -rawin -inkey " + k + " -in " + mensaje + " | base64 -w0");
  };
  std::string torcida = firma("d");
  torcida[10] = '-';
  const char *falta = "el pedido no trae firmaDelArchivo",
             *mala = "firmaDelArchivo no es una firma Ed25519 en base64",
             *otra = "firmaDelArchivo no firma este archivo con esta clave";
  // What, the Info.plist's key, the request's signature, why refused (nullptr: it is not).
  const std::tuple<const char*, std::optional<std::string>, std::optional<std::string>, const char*>
      casos[] = {{"signed", clave, firma("d"), nullptr},
                 {"no key: not even read", {}, "x", nullptr},
                 {"no signature", clave, {}, falta},
                 {"another archive", clave, firma("e"), otra},
                 {"another key", clave, firma("d", "otra"), otra},
                 {"its hex digest", clave, firma("h"), otra},
                 {"not base64", clave, torcida, mala},
                 {"key of 31 bytes", clave.substr(0, 40) + "AA==", firma("d"),
                  "OvelmarClavePublica no es una clave Ed25519 en base64"}};
  for (const auto& [caso, clavePublica, firmaDelArchivo, porque] : casos) {
    SCOPED_TRACE(caso);
    PlataformaLinux linux;
    Plataforma p = linux.plataforma();
    PaqueteFijo paquete;
    RegistroEnMemoria registro;
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}};
    if (clavePublica) (*paquete.infoFija)["OvelmarClavePublica"] = *clavePublica;
    p.paquete = &paquete, p.registro = &registro;
    ReglasDeActualizacion reglas(p);
    const std::string zip = t / "a.zip", dir = t / (std::string("c") + caso);
    const Pedido pedido{"", *Actualizador::sha256(p, zip), 9, 1, std::nullopt, firmaDelArchivo};
    // Past the check, the archive holds no Foo.app: "firma" too, and no line about it.
    EXPECT_EQ(std::get<Fallo>(Actualizador::comprobar(p, reglas, zip, pedido, dir, 1)).motivo,
              "firma");
    EXPECT_EQ(std::filesystem::exists(dir + "/Foo-9"), porque == nullptr);
    const std::string linea = "[actualización] firma del archivo rechazada: ";
    EXPECT_EQ(registro.lineas, porque ? std::vector{linea + porque} : std::vector<std::string>{});
  }
}

TEST(Procesos, ElInicioDeUnProcesoEsCuandoEmpezo) {
  ProcesosLinux procesos;
  const double antes = RelojLinux().ahora();
  const pid_t hijo = fork();
  if (hijo == 0) pause(), _exit(0);
  const std::optional<double> suyo = procesos.inicio(hijo);
  kill(hijo, SIGKILL), waitpid(hijo, nullptr, 0);
  EXPECT_NEAR(suyo.value_or(0), antes, 0.05);      // a clock tick is 10 ms
  EXPECT_EQ(procesos.inicio(hijo), std::nullopt);  // reaped: no such process
}

}  // namespace
}  // namespace ovelmar
