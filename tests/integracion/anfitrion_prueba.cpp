// A host that knows only the bundle's path: dlopen, the class by name, messages by
// selector, answers as property-list text.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "anfitrion/ovelmar.h"
#include "comun/CarpetaTemporal.hpp"

namespace {

const std::string kPaquete = std::string(OVELMAR_ARBOL) + "/Ovelmar.bundle";

// The bundle's C interface as a host finds it.
struct Interfaz {
  void* biblioteca = nullptr;
  decltype(&ov_clase) clase = nullptr;
  decltype(&ov_crear) crear = nullptr;
  decltype(&ov_enviar) enviar = nullptr;
  decltype(&ov_liberar) liberar = nullptr;
  decltype(&ov_soltar) soltar = nullptr;
  decltype(&ov_observar) observar = nullptr;
  decltype(&ov_dejar_de_observar) dejarDeObservar = nullptr;

  Interfaz() {
    biblioteca = dlopen((kPaquete + "/Contents/MacOS/Ovelmar").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!biblioteca) return;
    clase = reinterpret_cast<decltype(clase)>(dlsym(biblioteca, "ov_clase"));
    crear = reinterpret_cast<decltype(crear)>(dlsym(biblioteca, "ov_crear"));
    enviar = reinterpret_cast<decltype(enviar)>(dlsym(biblioteca, "ov_enviar"));
    liberar = reinterpret_cast<decltype(liberar)>(dlsym(biblioteca, "ov_liberar"));
    soltar = reinterpret_cast<decltype(soltar)>(dlsym(biblioteca, "ov_soltar"));
    observar = reinterpret_cast<decltype(observar)>(dlsym(biblioteca, "ov_observar"));
    dejarDeObservar =
        reinterpret_cast<decltype(dejarDeObservar)>(dlsym(biblioteca, "ov_dejar_de_observar"));
  }
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

TEST(Anfitrion, ElPaqueteTieneSuInformacionYSoloExportaLaInterfazC) {
  FILE* f = std::fopen((kPaquete + "/Contents/Info.plist").c_str(), "r");
  ASSERT_TRUE(f);
  std::string info(4096, '\0');
  info.resize(std::fread(info.data(), 1, info.size(), f));
  std::fclose(f);
  EXPECT_TRUE(contiene(info, "<key>CFBundleExecutable</key>\n\t<string>Ovelmar</string>"));
  EXPECT_TRUE(contiene(info, "<key>NSPrincipalClass</key>\n\t<string>Ovelmar</string>"));
  Interfaz ov;
  ASSERT_TRUE(ov.biblioteca) << dlerror();
  EXPECT_EQ(dlsym(ov.biblioteca, "_ZN7ovelmar7Ovelmar17puedeActualizarseEv"), nullptr);
}

TEST(Anfitrion, LaClasePorNombreYLosMensajesPorSelector) {
  Interfaz ov;
  ASSERT_TRUE(ov.biblioteca && ov.clase && ov.crear && ov.enviar && ov.liberar && ov.soltar &&
              ov.observar && ov.dejarDeObservar);
  EXPECT_EQ(ov.clase("Otra"), nullptr);
  EXPECT_EQ(ov.clase("ovelmar"), nullptr);
  EXPECT_EQ(ov.clase(nullptr), nullptr);
  EXPECT_EQ(ov.crear(nullptr), nullptr);
  void* clase = ov.clase("Ovelmar");
  ASSERT_NE(clase, nullptr);
  void* a = ov.crear(clase);
  void* b = ov.crear(clase);
  ASSERT_TRUE(a && b);

  const std::string nada = ov.respuesta(a, "estadoDeLaActualizacion");
  EXPECT_TRUE(contiene(nada, "<key>fase</key>")) << nada;
  EXPECT_TRUE(contiene(nada, "<string>nada</string>")) << nada;
  EXPECT_EQ(ov.respuesta(a, "noExiste"), "(nada)");
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
       {static_cast<const char*>(nullptr), "", "<<<", "<plist><array/></plist>",
        "<plist><dict><key>url</key></dict></plist>"})
    EXPECT_TRUE(contiene(ov.respuesta(b, "actualizar:", argumento), "<false/>"))
        << (argumento ? argumento : "NULL");
  EXPECT_EQ(avisos, 0);
  ov.dejarDeObservar(token);

  // Both objects share one updater: what one request did, the other object reports.
  const std::string pedido =
      "<plist><dict><key>url</key><string>https://127.0.0.1/k.zip</string>"
      "<key>sha256</key><string>" +
      std::string(64, 'a') +
      "</string><key>build</key><integer>9</integer><key>tamano</key>"
      "<integer>5</integer></dict></plist>";
  EXPECT_TRUE(contiene(ov.respuesta(a, "actualizar:", pedido.c_str()), "<false/>"));
  const std::string otro = ov.respuesta(b, "estadoDeLaActualizacion");
  EXPECT_TRUE(contiene(otro, "<string>fuera_de_aplicaciones</string>")) << otro;
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
  const auto [salida, estado] = ovelmar::pruebas::ejecutarOrden(orden);
  EXPECT_EQ(estado, 0) << salida;
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
