// A host that knows only the bundle's path: dlopen, the class by name, messages by
// selector, answers as property-list text.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "anfitrion/ovelmar.h"
#include "comun/CarpetaTemporal.hpp"

namespace {

const std::string kPaquete = std::string(OVELMAR_ARBOL) + "/Ovelmar.bundle";

// The bundle's C interface as a host finds it.
struct Interfaz {
  void* biblioteca = dlopen((kPaquete + "/Contents/MacOS/Ovelmar").c_str(), RTLD_NOW | RTLD_LOCAL);
  template <class F>
  F simbolo(const char* nombre) {
    return reinterpret_cast<F>(biblioteca ? dlsym(biblioteca, nombre) : nullptr);
  }
  decltype(&ov_clase) clase = simbolo<decltype(clase)>("ov_clase");
  decltype(&ov_crear) crear = simbolo<decltype(crear)>("ov_crear");
  decltype(&ov_enviar) enviar = simbolo<decltype(enviar)>("ov_enviar");
  decltype(&ov_liberar) liberar = simbolo<decltype(liberar)>("ov_liberar");
  decltype(&ov_soltar) soltar = simbolo<decltype(soltar)>("ov_soltar");
  decltype(&ov_observar) observar = simbolo<decltype(observar)>("ov_observar");
  decltype(&ov_dejar_de_observar) dejar = simbolo<decltype(dejar)>("ov_dejar_de_observar");
  // The answer as text; "(nada)" for NULL.
  std::string respuesta(void* objeto, const char* selector, const char* argumento = nullptr) {
    char* r = enviar(objeto, selector, argumento);
    std::string t = r ? r : "(nada)";
    liberar(r);
    return t;
  }
};

bool contiene(const std::string& texto, const std::string& parte) {
  return texto.find(parte) != std::string::npos;
}

TEST(Anfitrion, SoloLaInterfazCLaClasePorNombreYLosMensajesPorSelector) {
  const std::string info = ovelmar::pruebas::leerArchivo(kPaquete + "/Contents/Info.plist");
  EXPECT_TRUE(contiene(info, "<key>CFBundleExecutable</key>\n\t<string>Ovelmar</string>"));
  EXPECT_TRUE(contiene(info, "<key>NSPrincipalClass</key>\n\t<string>Ovelmar</string>"));
  Interfaz ov;
  ASSERT_TRUE(ov.clase && ov.crear && ov.enviar && ov.liberar && ov.soltar && ov.observar &&
              ov.dejar)
      << dlerror();
  EXPECT_EQ(dlsym(ov.biblioteca, "_ZN7ovelmar7Ovelmar17puedeActualizarseEv"), nullptr);
  EXPECT_EQ(ov.clase("ovelmar"), nullptr);
  EXPECT_EQ(ov.clase(nullptr), nullptr);
  EXPECT_EQ(ov.crear(nullptr), nullptr);
  void* a = ov.crear(ov.clase("Ovelmar"));
  void* b = ov.crear(ov.clase("Ovelmar"));
  ASSERT_TRUE(a && b);

  EXPECT_TRUE(contiene(ov.respuesta(a, "estadoDeLaActualizacion"), "<string>nada</string>"));
  EXPECT_EQ(ov.respuesta(a, "actualizar"), "(nada)");  // without the colon: another selector
  EXPECT_EQ(ov.respuesta(nullptr, "estadoDeLaActualizacion"), "(nada)");
  EXPECT_EQ(ov.respuesta(a, nullptr), "(nada)");
  // The test program runs from no bundle, so it cannot update itself.
  EXPECT_TRUE(contiene(ov.respuesta(a, "puedeActualizarse"), "<false/>"));

  // Unreadable arguments count as an empty dictionary: refused, nothing posted.
  int avisos = 0;
  unsigned long token = ov.observar(
      ".actualizacion", [](const char*, void* n) { ++*static_cast<int*>(n); }, &avisos);
  EXPECT_NE(token, 0u);
  for (const char* argumento :
       {static_cast<const char*>(nullptr), "<<<", "<plist><array/></plist>"})
    EXPECT_TRUE(contiene(ov.respuesta(b, "actualizar:", argumento), "<false/>"));
  EXPECT_EQ(avisos, 0);
  ov.dejar(token);

  // Both objects share one updater: what one request did, the other object reports.
  const std::string pedido =
      "<plist><dict><key>url</key><string>https://127.0.0.1/k.zip</string>"
      "<key>sha256</key><string>" +
      std::string(64, 'a') +
      "</string><key>build</key><integer>9</integer><key>tamano</key>"
      "<integer>5</integer></dict></plist>";
  EXPECT_TRUE(contiene(ov.respuesta(a, "actualizar:", pedido.c_str()), "<false/>"));
  EXPECT_TRUE(contiene(ov.respuesta(b, "estadoDeLaActualizacion"), "fuera_de_aplicaciones"));
  ov.soltar(a);
  ov.soltar(b);
}

TEST(Anfitrion, UnMensajeConHiloPrincipalDesdeOtroHiloDetieneElProceso) {
  Interfaz ov;
  ASSERT_TRUE(ov.biblioteca);
  void* objeto = ov.crear(ov.clase("Ovelmar"));
  // Unbracketed messages may be read from anywhere.
  std::string estado;
  std::thread([&] { estado = ov.respuesta(objeto, "estadoDeLaActualizacion"); }).join();
  EXPECT_TRUE(contiene(estado, "<key>fase</key>"));
  for (const char* selector :
       {"puedeActualizarse", "actualizar:", "ultimaActualizacion", "firmaPropia"}) {
    EXPECT_DEATH(
        std::thread([&] { ov.respuesta(objeto, selector, "<plist><dict/></plist>"); }).join(),
        std::string("'") + selector + "' must be sent on the main thread")
        << selector;
  }
  ov.soltar(objeto);
}

// The demo runs from its own bundle, Kestra.app, which is its destination here; nothing
// listens on port 1, so the download fails at once.
TEST(Anfitrion, ElAnfitrionDeEjemploCargaElPaqueteYMuestraLasRespuestas) {
  const std::string arbol = OVELMAR_ARBOL;
  const std::string peticion =
      "'<plist><dict><key>url</key><string>https://127.0.0.1:1/Kestra-8.zip</string>"
      "<key>sha256</key><string>" +
      std::string(64, 'a') +
      "</string><key>build</key><integer>8</integer>"
      "<key>tamano</key><integer>1000</integer></dict></plist>'";
  const std::string orden =
      "KESTRAVON_DESTINO='" + arbol + "' " + arbol +
      "/Kestra.app/Contents/MacOS/demo -o com.ejemplo.Kestra.actualizacion " + kPaquete +
      " estadoDeLaActualizacion noExiste '' esperar:nan actualizar: "
      "@/no/existe actualizar: " +
      peticion + " esperar:3 estadoDeLaActualizacion puedeActualizarse actualizar: 2>&1";
  // Not a structured binding: clang before 16 cannot capture one in the lambda below.
  const ovelmar::pruebas::ResultadoDeOrden r = ovelmar::pruebas::ejecutarOrden(orden);
  const std::string& salida = r.texto;
  EXPECT_EQ(r.estado, 0) << salida;
  const auto en = [&](const std::string& parte, std::size_t desde = 0) {
    return salida.find(parte, desde);
  };
  EXPECT_NE(en("estadoDeLaActualizacion -> nada "), std::string::npos) << salida;
  // Odd command lines: an unknown selector, an empty one, a file that is not there (refused
  // before the good request posts anything) and, last, no argument at all.
  EXPECT_LT(en("noExiste -> (no answer)\n -> (no answer)\nactualizar: -> no\n"),
            en("actualizar: -> yes\n"))
      << salida;
  EXPECT_LT(en("update state: descargando  build 8  [--------------------]   0%  0 KB of 1 KB"),
            en("update state: fallo        build 8  failed: the download failed"))
      << salida;
  EXPECT_NE(en("estadoDeLaActualizacion -> fallo        build 8  failed: the download failed or "
               "the archive is incomplete (red)\npuedeActualizarse -> yes\nactualizar: -> no\n"),
            std::string::npos)
      << salida;
  EXPECT_EQ(en("<"), std::string::npos) << salida;  // no property list reaches the person
}

}  // namespace
