#include "Instalador.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <utility>
#include <variant>
#include <vector>

#include "Ovelmar.hpp"
#include "Rutas.hpp"

namespace ovelmar {

namespace {
constexpr const char* kTraslocacion = "/AppTranslocation/";
constexpr const char* kVolumenes = "/Volumes/";
// The translocation lookup as this platform's Security library would export it: the
// translocated path in, a newly allocated original path out (freed with free), or null.
using BuscarOriginal = char* (*)(const char* ruta, void** error);

constexpr double kEsperaDeCierre = 5.0;    // seconds other copies get to quit
constexpr double kTrozoDeEspera = 0.1;     // run-loop slice while they do
constexpr int kTrozosMaximos = 100;        // bounds the wait should the clock stand still
constexpr double kSalidaForzada = 1.5;     // seconds from the terminate request to the exit
constexpr std::int64_t kCancelado = -128;  // the script engine's "user cancelled"
// An Info.plist larger than this is not a bundle's information dictionary.
constexpr std::int64_t kInfoMaxima = 16 * 1024 * 1024;

// In single quotes, each ' written as '\'' so that any text reaches the shell intact.
std::string entreComillas(const std::string& texto) {
  std::string r = "'";
  for (char c : texto) {
    if (c == '\'')
      r += "'\\''";
    else
      r += c;
  }
  return r + "'";
}
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

bool Instalador::modoPrueba() const {
  return lugar().modoPrueba;
}
const std::string& Instalador::destinoDir() const {
  return lugar().destinoDir;
}
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
  // The folder itself, written with a trailing slash, is not below itself.
  std::string_view r = ruta;
  while (r.size() > 1 && r.back() == '/') r.remove_suffix(1);
  return rutas::empiezaPor(r, prefijo);
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

// --- Copying into place -------------------------------------------------------------

Resultado Instalador::instalar(const std::string& origen) {
  Archivos& archivos = *plataforma_.archivos;
  const std::string dest = destino();
  if (!archivos.escribible(destinoDir())) return instalarComoAdministrador(origen, std::nullopt);
  if (archivos.existe(dest) && !archivos.escribible(dest))
    return instalarComoAdministrador(origen, std::nullopt);

  // A swap of the updater's may be waiting to rename the new copy into place.
  esperarNuevaCopia();
  const std::string nueva = nuevaCopiaLibre();
  reservarNuevaCopia(nueva, {plataforma_.procesos->pid()});
  // Until the final step the user's copy at `dest` is not touched; on any failure only
  // the new copy goes.
  auto fallar = [&](Error e) -> Resultado {
    archivos.eliminar(nueva);
    soltarNuevaCopia();
    return e;
  };
  if (Resultado e = archivos.copiar(origen, nueva)) return fallar(*e);
  if (Resultado e = quitarCuarentena(nueva)) return fallar(*e);
  if (!modoPrueba()) cerrarOtrasCopias();
  Resultado e =
      archivos.existe(dest) ? archivos.reemplazar(dest, nueva) : archivos.mover(nueva, dest);
  if (e) return fallar(*e);
  soltarNuevaCopia();
  return std::nullopt;
}

Resultado Instalador::quitarCuarentena(const std::string& paquete) {
  std::variant<int, Error> r =
      plataforma_.procesos->ejecutar("/usr/bin/xattr", {"-dr", "com.apple.quarantine", paquete});
  if (const Error* e = std::get_if<Error>(&r)) return *e;
  if (std::get<int>(r) != 0) return Error::cocoa(Error::fileWriteNoPermission);
  return std::nullopt;
}

std::string Instalador::ordenDeAdministrador(const std::string& origen,
                                             const std::optional<std::string>& dueno) const {
  const std::string dest = destino();
  const std::string D = entreComillas(dest);
  const std::string N = entreComillas(dest + ".nuevo");
  const std::string V = entreComillas(dest + ".viejo");
  const std::string O = entreComillas(origen);
  std::string orden = "/bin/rm -rf " + N + " " + V;
  orden += " && /usr/bin/ditto " + O + " " + N;
  orden += " && { /usr/bin/xattr -dr com.apple.quarantine " + N + " || true; }";
  orden += " && { [ ! -e " + D + " ] || /bin/mv " + D + " " + V + "; }";
  orden += " && { /bin/mv " + N + " " + D + " || { [ -e " + V + " ] && /bin/mv " + V + " " + D +
           "; /bin/rm -rf " + N + "; false; }; }";
  orden += " && /bin/rm -rf " + V;
  if (dueno && !dueno->empty())
    orden += " && { /usr/sbin/chown -R " + entreComillas(*dueno) + ":staff " + D + " || true; }";
  return orden;
}

std::string Instalador::fuenteDeAdministrador(const std::string& orden) {
  // Backslashes first, so that the ones added before quotes are not doubled again.
  std::string escapada;
  for (char c : orden) {
    if (c == '\\')
      escapada += "\\\\";
    else if (c == '"')
      escapada += "\\\"";
    else
      escapada += c;
  }
  return "do shell script \"" + escapada + "\" with administrator privileges";
}

Resultado Instalador::instalarComoAdministrador(const std::string& origen,
                                                const std::optional<std::string>& dueno) {
  const std::string orden = ordenDeAdministrador(origen, dueno);
  if (!modoPrueba()) cerrarOtrasCopias();  // before the password request
  esperarNuevaCopia();                     // the command begins by clearing the new copy
  reservarNuevaCopia(nuevaCopia(), {plataforma_.procesos->pid()});
  ResultadoDeGuion r = plataforma_.administrador->ejecutarAppleScript(fuenteDeAdministrador(orden));
  soltarNuevaCopia();
  if (r.error) {
    if (r.numeroDeError && *r.numeroDeError == kCancelado)
      return Error::cocoa(Error::userCancelled);
    return Error::cocoa(Error::fileWriteNoPermission);
  }
  // A script that could not even be made ran nothing: an old copy at the destination
  // must not pass for the new one.
  if (!r.compilado) return Error::cocoa(Error::fileWriteNoPermission);
  if (!plataforma_.archivos->existe(destino())) return Error::cocoa(Error::fileWriteNoPermission);
  return std::nullopt;
}

void Instalador::cerrarOtrasCopias() {
  Aplicaciones& aplicaciones = *plataforma_.aplicaciones;
  std::vector<AplicacionEnEjecucion> otras = aplicaciones.enEjecucion(reglas_.identificador());
  const std::int32_t propio = plataforma_.procesos->pid();
  std::erase_if(otras, [propio](const AplicacionEnEjecucion& a) { return a.pid == propio; });
  if (otras.empty()) return;
  for (const AplicacionEnEjecucion& a : otras) aplicaciones.terminar(a);

  const double limite = plataforma_.reloj->ahora() + kEsperaDeCierre;
  auto todasTerminadas = [&] {
    return std::all_of(otras.begin(), otras.end(),
                       [&](const AplicacionEnEjecucion& a) { return aplicaciones.terminada(a); });
  };
  for (int trozo = 0; trozo < kTrozosMaximos && !todasTerminadas(); ++trozo) {
    if (plataforma_.reloj->ahora() >= limite) break;
    plataforma_.colaPrincipal->correrDurante(kTrozoDeEspera);
  }
  for (const AplicacionEnEjecucion& a : otras)
    if (!aplicaciones.terminada(a)) aplicaciones.forzarTerminacion(a);
}

// --- Hand-over ------------------------------------------------------------------------

void Instalador::abrirInstalada(const std::string& original, bool reintentar, bool instanciaNueva) {
  ColaPrincipal* cola = plataforma_.colaPrincipal;
  // The workspace may answer on any thread; the rest of the hand-over runs on the main queue.
  auto hecho = [this, cola, original, reintentar](std::optional<Error> error) {
    cola->enviar(
        [this, original, reintentar, error] { continuarApertura(error, reintentar, original); });
  };
  plataforma_.aplicaciones->abrir(destino(), instanciaNueva, std::move(hecho));
}

void Instalador::continuarApertura(const std::optional<Error>& error, bool reintentar,
                                   const std::string& original) {
  Archivos& archivos = *plataforma_.archivos;
  const std::string& nombre = reglas_.identidad().nombre;
  Idiomas& idiomas = *plataforma_.idiomas;
  if (error) {
    if (reintentar && !instalar(original)) {
      abrirInstalada(original, false, true);  // its continuation completes the hand-over
      return;
    }
    alertar({nombre + L(idiomas, " is installed", " ya está instalada"),
             L(idiomas, "Open it from the Applications folder.",
               "Ábrela desde la carpeta Aplicaciones."),
             {}});
  } else if (esDescargas(original) &&
             archivos.resolverEnlaces(original) != archivos.resolverEnlaces(destino())) {
    // Never the installed copy itself, should the destination lie in the download.
    archivos.papelera(original);
  }
  if (std::optional<std::string> volumen = volumenDelDMG(original)) expulsarMasTarde(*volumen);
  terminar();
}

void Instalador::terminar() {
  Procesos* procesos = plataforma_.procesos;
  plataforma_.colaGlobal->enviarDespues(kSalidaForzada, [procesos] { procesos->salir(0); });
  plataforma_.aplicacion->terminar();
}

void Instalador::expulsarMasTarde(const std::string& volumen) {
  plataforma_.procesos->lanzar(
      "/bin/sh", {"-c", "sleep 3; /usr/bin/hdiutil detach \"$1\" -quiet", "sh", volumen});
}

// --- Move flow ------------------------------------------------------------------------

std::optional<std::int64_t> Instalador::numeroDeBuild(std::string_view texto) {
  std::string_view cifras = texto;
  if (!cifras.empty() && (cifras.front() == '+' || cifras.front() == '-')) cifras.remove_prefix(1);
  if (cifras.empty() ||
      !std::all_of(cifras.begin(), cifras.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  // from_chars takes a leading '-' but not '+'.
  std::string_view numero = texto.front() == '+' ? cifras : texto;
  std::int64_t valor = 0;
  auto [fin, error] = std::from_chars(numero.data(), numero.data() + numero.size(), valor);
  if (error != std::errc() || fin != numero.data() + numero.size()) return std::nullopt;
  return valor;
}

std::optional<std::int64_t> Instalador::versionInstalada() {
  const std::string dest = destino();
  if (!plataforma_.archivos->existe(rutas::unir(dest, "Contents/MacOS"))) return std::nullopt;
  std::optional<Diccionario> info = leerInfo(plataforma_, dest);
  const std::string* version = info ? textoDe(*info, "CFBundleVersion") : nullptr;
  if (!version) return std::nullopt;
  return numeroDeBuild(*version);
}

std::optional<Diccionario> Instalador::leerInfo(Plataforma& plataforma,
                                                const std::string& paquete) {
  const std::string info = rutas::unir(paquete, "Contents/Info.plist");
  std::optional<std::int64_t> tamano = plataforma.archivos->tamano(info);
  if (!tamano || *tamano > kInfoMaxima) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> bytes = plataforma.archivos->leer(info);
  if (!bytes) return std::nullopt;
  std::optional<Valor> plist = plataforma.propiedades->leer(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!plist || !plist->diccionario()) return std::nullopt;
  return *plist->diccionario();
}

// --- The shared new copy ----------------------------------------------------------------

std::string Instalador::claveDeReserva() const {
  return reglas_.identificador() + ".actualizacion.nuevaCopia";
}

std::string Instalador::nuevaCopiaLibre() {
  Archivos& archivos = *plataforma_.archivos;
  const std::string nueva = nuevaCopia();
  for (const std::string& ruta : {nueva, nueva + "-2"}) {
    Resultado e = archivos.eliminar(ruta);
    if (!e || (e->dominio == Error::dominioPosix && e->codigo == ENOENT)) return ruta;
  }
  return nueva;  // the copy onto it then fails and says why
}

void Instalador::reservarNuevaCopia(const std::string& ruta,
                                    const std::vector<std::int32_t>& procesos) {
  Lista pids;
  for (std::int32_t pid : procesos) pids.emplace_back(static_cast<std::int64_t>(pid));
  plataforma_.preferencias->escribir(
      claveDeReserva(), Valor(Diccionario{{"procesos", Valor(std::move(pids))},
                                          {"ruta", Valor(ruta)},
                                          {"desde", Valor(plataforma_.reloj->ahora())}}));
}

void Instalador::soltarNuevaCopia() {
  plataforma_.preferencias->escribir(claveDeReserva(), Valor(Diccionario{}));
}

std::optional<Diccionario> Instalador::reservaAjena() {
  std::optional<Valor> guardada = plataforma_.preferencias->leer(claveDeReserva());
  const Diccionario* reserva = guardada ? guardada->diccionario() : nullptr;
  if (!reserva) return std::nullopt;
  const Valor* desde = buscar(*reserva, "desde");
  const double* cuando = desde ? desde->real() : nullptr;
  const double ahora = plataforma_.reloj->ahora();
  // A record from the future (a clock set back) lapses as well.
  if (!cuando || ahora >= *cuando + vigenciaDeReserva || ahora < *cuando - vigenciaDeReserva)
    return std::nullopt;
  const Valor* procesos = buscar(*reserva, "procesos");
  const Lista* lista = procesos ? procesos->lista() : nullptr;
  if (!lista) return std::nullopt;
  const std::int32_t propio = plataforma_.procesos->pid();
  for (const Valor& v : *lista) {
    std::optional<std::int64_t> pid = ReglasDeActualizacion::entero(&v);
    if (pid && *pid > 0 && *pid <= std::numeric_limits<std::int32_t>::max() && *pid != propio &&
        plataforma_.procesos->vive(static_cast<std::int32_t>(*pid)))
      return *reserva;
  }
  return std::nullopt;
}

void Instalador::esperarNuevaCopia() {
  // Slices of the main queue, counted too, should the clock stand still.
  constexpr int kTrozos = static_cast<int>(vigenciaDeReserva / kTrozoDeEspera) + 10;
  for (int trozo = 0; trozo < kTrozos && reservaAjena(); ++trozo)
    plataforma_.colaPrincipal->correrDurante(kTrozoDeEspera);
}

void Instalador::limpiarNuevaCopia() {
  if (reservaAjena()) return;
  const std::string nueva = nuevaCopia();
  for (const std::string& ruta : {nueva, nueva + "-2"})
    if (plataforma_.archivos->existe(ruta) || plataforma_.archivos->dueno(ruta))
      plataforma_.archivos->eliminar(ruta);
}

std::int64_t Instalador::versionPropia() {
  std::optional<Diccionario> info = plataforma_.paquete->info();
  const std::string* version = info ? textoDe(*info, "CFBundleVersion") : nullptr;
  return version ? numeroDeBuild(*version).value_or(0) : 0;
}

bool Instalador::instaladaAlMenosIgual() {
  std::optional<std::int64_t> instalada = versionInstalada();
  return instalada && *instalada >= versionPropia();
}

bool Instalador::copiaDeDestinoAbierta() {
  Archivos& archivos = *plataforma_.archivos;
  const std::string objetivo = archivos.resolverEnlaces(destino());
  const std::int32_t propio = plataforma_.procesos->pid();
  for (const AplicacionEnEjecucion& a :
       plataforma_.aplicaciones->enEjecucion(reglas_.identificador())) {
    if (a.pid == propio || !a.paquete) continue;
    if (archivos.resolverEnlaces(*a.paquete) == objetivo) return true;
  }
  return false;
}

int Instalador::alertar(const Alerta& alerta) {
  plataforma_.aplicacion->activar();
  return plataforma_.alertas->mostrar(alerta);
}

void Instalador::escribirLinea(const std::string& linea) {
  std::cout << linea << std::endl;
}

bool Instalador::moverSiHaceFalta() {
  // Every start, wherever it runs from: what an interrupted move or swap left must not
  // linger, nor block the next install.
  limpiarNuevaCopia();
  std::optional<std::string> ruta = plataforma_.paquete->ruta();
  if (!ruta || ruta->empty()) return false;  // not running from a bundle: nothing to move
  const std::string actual = plataforma_.archivos->resolverEnlaces(*ruta);
  const std::string original = rutaOriginal(actual);
  if (!hayQueMover(original, actual)) return false;

  const bool prueba = modoPrueba();
  const std::string& nombre = reglas_.identidad().nombre;
  Idiomas& idiomas = *plataforma_.idiomas;
  if (!prueba) {
    if (copiaDeDestinoAbierta() && instaladaAlMenosIgual()) {
      abrirInstalada(original, false, false);
      return true;
    }
    Alerta pregunta{
        L(idiomas, "Install " + nombre + " in Applications?",
          "¿Instalo " + nombre + " en Aplicaciones?"),
        L(idiomas,
          nombre + " is running from the download. It needs to live in Applications to keep "
                   "your session and receive updates. It takes a second.",
          nombre + " se está abriendo desde la descarga. Tiene que estar en Aplicaciones para "
                   "conservar tu sesión y recibir las actualizaciones. Tarda un segundo."),
        {L(idiomas, "Install", "Instalar"), L(idiomas, "Not now", "Ahora no")}};
    if (alertar(pregunta) != 0) return false;
  }

  if (instaladaAlMenosIgual()) {
    if (prueba) {
      escribirLinea("ya instalada en " + destino());
      terminar();
      return true;
    }
    abrirInstalada(original, true, !copiaDeDestinoAbierta());
    return true;
  }

  if (Resultado error = instalar(original)) {
    if (error->esCocoa(Error::userCancelled)) return false;
    alertar({L(idiomas, "Could not install it", "No se ha podido instalar"),
             L(idiomas,
               "Drag " + nombre + " to the Applications folder yourself and open it from there.",
               "Arrastra tú " + nombre + " a la carpeta Aplicaciones y ábrela desde allí."),
             {}});
    return false;
  }
  if (prueba) {
    escribirLinea("instalada en " + destino() + " desde " + original);
    terminar();
    return true;
  }
  abrirInstalada(original, false, true);
  return true;
}

}  // namespace ovelmar
