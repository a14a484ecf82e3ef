// The move to Applications end to end in test mode: the demo host, laid out as
// Kestra.app, is started from a Downloads folder and installs itself.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "comun/CarpetaTemporal.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using namespace pruebas;

const fs::path kArbol = OVELMAR_ARBOL;

std::string leerTexto(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string comillas(const std::string& t) {
  std::string r = "'";
  for (char c : t) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

struct Ejecucion {
  std::string salida;
  int estado;
};

// Runs the copy of the demo at `app` with `instalarSiHaceFalta`.
Ejecucion instalarDesde(const fs::path& app, const fs::path& destino) {
  const std::string orden = "KESTRAVON_DESTINO=" + comillas(destino.string()) + " timeout 60 " +
                            comillas((app / "Contents/MacOS/demo").string()) + " " +
                            comillas((kArbol / "Ovelmar.bundle").string()) +
                            " instalarSiHaceFalta 2>&1";
  FILE* p = popen(orden.c_str(), "r");
  if (!p) return {"popen", -1};
  Ejecucion e;
  char trozo[512];
  while (std::fgets(trozo, sizeof trozo, p)) e.salida += trozo;
  e.estado = pclose(p);
  return e;
}

TEST(Mover, ElAnfitrionDeEjemploSeInstalaASiMismo) {
  struct Caso {
    const char* caso;
    bool enDescargas;
    std::function<void(const fs::path& destino)> preparar;
    const char* linea;  // "{D}" and "{S}": the destination and the started copy
    bool respuesta;
  };
  auto instalada = [](const std::string& info) {
    return [info](const fs::path& d) {
      fs::copy(kArbol / "Kestra.app", d, fs::copy_options::recursive);
      if (!info.empty()) escribirArchivo(d / "Contents/Info.plist", info);
    };
  };
  const Caso casos[] = {
      {"nueva", true, [](const fs::path&) {}, "instalada en {D} desde {S}\n", true},
      {"ya instalada, la misma", true, instalada(""), "ya instalada en {D}\n", true},
      {"instalada más nueva", true, instalada(infoPlist({{"CFBundleVersion", "+8"}})),
       "ya instalada en {D}\n", true},
      {"instalada con build 1.0", true, instalada(infoPlist({{"CFBundleVersion", "1.0"}})),
       "instalada en {D} desde {S}\n", true},
      {"instalada con Info.plist dañado", true, instalada("<plist><dict><key>"),
       "instalada en {D} desde {S}\n", true},
      {"fuera de las descargas", false, [](const fs::path&) {}, "", false},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.caso);
    CarpetaTemporal t;
    const fs::path carpeta = t.ruta() / "Apli caciones 'x'";
    const fs::path D = carpeta / "Kestra.app";
    const fs::path S = (c.enDescargas ? fs::path(std::getenv("HOME")) / "Downloads" / "sub"
                                      : t.ruta() / "Escritorio") /
                       "Kestra.app";
    fs::create_directories(carpeta);
    fs::create_directories(S.parent_path());
    fs::copy(kArbol / "Kestra.app", S, fs::copy_options::recursive);
    c.preparar(D);

    Ejecucion e = instalarDesde(S, carpeta);
    EXPECT_EQ(e.estado, 0) << e.salida;
    std::string linea = c.linea;
    for (auto [marca, valor] :
         {std::pair<std::string, std::string>{"{D}", D.string()}, {"{S}", S.string()}})
      if (auto i = linea.find(marca); i != std::string::npos) linea.replace(i, marca.size(), valor);
    EXPECT_EQ(e.salida.rfind(linea, 0), 0u) << e.salida;  // the line comes first
    EXPECT_NE(e.salida.find(c.respuesta ? "<true/>" : "<false/>"), std::string::npos) << e.salida;
    if (c.respuesta) {
      EXPECT_TRUE(fs::exists(D / "Contents/MacOS/demo"));
      EXPECT_FALSE(fs::exists(D.string() + ".nuevo"));
    } else {
      EXPECT_FALSE(fs::exists(D));
    }
    if (linea.starts_with("instalada")) {
      EXPECT_EQ(leerTexto(D / "Contents/Info.plist"),
                leerTexto(kArbol / "Kestra.app/Contents/Info.plist"));
    }
    EXPECT_TRUE(fs::exists(S));  // test mode hands over to nobody, so nothing is trashed
    fs::remove_all(fs::path(std::getenv("HOME")) / "Downloads");
  }
}

TEST(Mover, InstalarSiHaceFaltaExigeElHiloPrincipal) {
  void* b = dlopen((kArbol / "Ovelmar.bundle/Contents/MacOS/Ovelmar").c_str(), RTLD_NOW);
  ASSERT_TRUE(b) << dlerror();
  auto clase = reinterpret_cast<void* (*)(const char*)>(dlsym(b, "ov_clase"));
  auto crear = reinterpret_cast<void* (*)(void*)>(dlsym(b, "ov_crear"));
  auto enviar = reinterpret_cast<char* (*)(void*, const char*, const char*)>(dlsym(b, "ov_enviar"));
  auto soltar = reinterpret_cast<void (*)(void*)>(dlsym(b, "ov_soltar"));
  ASSERT_TRUE(clase && crear && enviar && soltar);
  void* objeto = crear(clase("Ovelmar"));
  EXPECT_DEATH(std::thread([&] { enviar(objeto, "instalarSiHaceFalta", nullptr); }).join(),
               "'instalarSiHaceFalta' must be sent on the main thread");
  soltar(objeto);
}

}  // namespace
}  // namespace ovelmar
