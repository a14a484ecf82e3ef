#include "Instalador.hpp"

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "Rutas.hpp"

namespace ovelmar {

namespace {
constexpr const char* kTraslocacion = "/AppTranslocation/";
constexpr const char* kVolumenes = "/Volumes/";
// The translocation lookup as this platform's Security library would export it: the
// translocated path in, a newly allocated original path out (freed with free), or null.
using BuscarOriginal = char* (*)(const char* ruta, void** error);
}  // namespace

const Instalador::Lugar& Instalador::lugar() const {
  std::call_once(unaVez_, [this] {
    std::optional<std::string> v = plataforma_.entorno->variable("KESTRAVON_DESTINO");
    if (v && !v->empty()) {
      lugar_.modoPrueba = true;
      // A relative value is taken against the working directory, as a file URL would be.
      std::filesystem::path p(*v);
      lugar_.destinoDir = p.is_absolute() ? *v : (std::filesystem::current_path() / p).string();
    } else {
      lugar_.destinoDir = "/Applications";
    }
  });
  return lugar_;
}

bool Instalador::modoPrueba() const { return lugar().modoPrueba; }
const std::string& Instalador::destinoDir() const { return lugar().destinoDir; }
std::string Instalador::destino() const {
  return rutas::unir(destinoDir(), reglas_.identidad().app());
}

std::string Instalador::rutaOriginal(const std::string& actual) const {
  if (actual.find(kTraslocacion) == std::string::npos) return actual;
  void* biblioteca =
      plataforma_.cargaDinamica->abrir("/System/Library/Frameworks/Security.framework/Security");
  if (!biblioteca) return actual;
  auto buscar = reinterpret_cast<BuscarOriginal>(
      plataforma_.cargaDinamica->simbolo(biblioteca, "SecTranslocateCreateOriginalPathForURL"));
  if (!buscar) return actual;
  char* original = buscar(actual.c_str(), nullptr);
  if (!original) return actual;
  std::string resultado = plataforma_.archivos->resolverEnlaces(original);
  std::free(original);
  return resultado;
}

bool Instalador::esDescargas(const std::string& ruta) const {
  std::optional<std::string> descargas = plataforma_.carpetas->descargas();
  if (!descargas) return false;
  std::string prefijo = plataforma_.archivos->resolverEnlaces(*descargas);
  if (prefijo.empty() || prefijo.back() != '/') prefijo += '/';
  return rutas::empiezaPor(ruta, prefijo);
}

std::optional<std::string> Instalador::volumenDelDMG(const std::string& ruta) const {
  const std::string& nombre = reglas_.identidad().nombre;
  if (nombre.empty()) return std::nullopt;
  std::vector<std::string> raices{kVolumenes};
  for (const std::string& r : plataforma_.carpetas->raicesDeVolumenes()) raices.push_back(r);
  for (const std::string& raiz : raices) {
    if (!rutas::empiezaPor(ruta, raiz)) continue;
    std::string resto = ruta.substr(raiz.size());
    std::string volumen = resto.substr(0, resto.find('/'));
    if (volumen.empty() || !rutas::empiezaPor(volumen, nombre)) return std::nullopt;
    std::string punto = raiz + volumen;
    std::optional<bool> soloLectura = plataforma_.archivos->soloLectura(punto);
    if (!soloLectura || !*soloLectura) return std::nullopt;
    return punto;
  }
  return std::nullopt;
}

bool Instalador::hayQueMover(const std::string& original, const std::string& actual) const {
  if (rutas::estandarizar(rutas::padre(original)) == rutas::estandarizar(destinoDir()))
    return false;
  if (actual.find(kTraslocacion) != std::string::npos) return true;
  if (rutas::empiezaPor(original, kVolumenes)) return true;
  for (const std::string& raiz : plataforma_.carpetas->raicesDeVolumenes())
    if (rutas::empiezaPor(original, raiz)) return true;
  return esDescargas(original);
}

}  // namespace ovelmar
