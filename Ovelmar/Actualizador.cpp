#include "Actualizador.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <utility>
#include <vector>

#include "Rutas.hpp"

namespace ovelmar {

namespace {

Diccionario estadoDeFase(const char* fase, const Valor& progreso, std::int64_t bajado,
                         std::int64_t total, std::int64_t build) {
  return {{"fase", Valor(fase)},
          {"progreso", progreso},
          {"bajado", Valor(bajado)},
          {"total", Valor(total)},
          {"build", Valor(build)}};
}

bool esRespuestaConCuerpo(int estado) {
  return estado == 200 || estado == 206;
}

// An Ed25519 public key and signature in base64: 44 and 88 characters.
constexpr std::size_t kClaveEnBase64 = 44, kFirmaEnBase64 = 88;

// Why the archive's digest is not signed by the host's key, when the host has one.
std::optional<std::string> rechazoDeFirmaDelArchivo(Criptografia& cripto,
                                                    const std::optional<std::string>& clave,
                                                    const std::optional<std::string>& firma,
                                                    std::span<const std::uint8_t> resumen) {
  if (!clave) return std::nullopt;
  // Lengths first: nothing longer than a key or a signature reaches the decoder.
  std::optional<std::vector<std::uint8_t>> publica =
      clave->size() == kClaveEnBase64 ? cripto.desdeBase64(*clave) : std::nullopt;
  // A key the host cannot use must not open the door to unsigned archives.
  if (!publica || publica->size() != 32)
    return "OvelmarClavePublica no es una clave Ed25519 en base64";
  if (!firma) return "el pedido no trae firmaDelArchivo";
  std::optional<std::vector<std::uint8_t>> bytes =
      firma->size() == kFirmaEnBase64 ? cripto.desdeBase64(*firma) : std::nullopt;
  if (!bytes || bytes->size() != 64) return "firmaDelArchivo no es una firma Ed25519 en base64";
  if (!cripto.verificarEd25519(*publica, resumen, *bytes))
    return "firmaDelArchivo no firma este archivo con esta clave";
  return std::nullopt;
}

std::optional<std::array<std::uint8_t, 32>> resumenDe(Plataforma& plataforma,
                                                      const std::string& ruta) {
  constexpr std::size_t kTrozo = 1024 * 1024;
  std::unique_ptr<LectorDeArchivo> lector = plataforma.archivos->abrirParaLeer(ruta);
  std::unique_ptr<ResumenSha256> resumen = plataforma.criptografia->sha256();
  if (!lector || !resumen) return std::nullopt;
  std::vector<std::uint8_t> trozo(kTrozo);
  for (;;) {
    std::optional<std::size_t> leidos = lector->leer(trozo.data(), trozo.size());
    if (!leidos) return std::nullopt;
    if (*leidos == 0) break;
    resumen->anadir(trozo.data(), *leidos);
  }
  return resumen->terminar();
}

// A time stored as a number of either kind.
std::optional<double> segundosDe(const Valor* v) {
  if (!v) return std::nullopt;
  if (const double* r = v->real()) return std::isfinite(*r) ? std::optional(*r) : std::nullopt;
  if (const std::int64_t* n = v->entero()) return static_cast<double>(*n);
  return std::nullopt;
}

}  // namespace

Actualizador::~Actualizador() {
  // The bundle's updater lives as long as the process; one a test drops must not leave a
  // transfer behind that still calls it.
  if (sesion_) sesion_->invalidarYCancelar();
}

Diccionario Actualizador::estado() const {
  std::lock_guard<std::mutex> l(cerrojoDeEstado_);
  return estado_;
}

void Actualizador::avisar(Diccionario nuevo) {
  Diccionario copia = nuevo;
  {
    std::lock_guard<std::mutex> l(cerrojoDeEstado_);
    estado_.swap(copia);
  }  // the old state goes outside the lock
  // Posted from the local copy: an observer that changes the state again must not
  // change what the observers after it receive.
  plataforma_.notificaciones->publicar(aviso(), nuevo);
}

bool Actualizador::puedeActualizarse() {
  std::optional<std::string> ruta = plataforma_.paquete->ruta();
  if (!ruta || ruta->empty()) return false;
  Archivos& archivos = *plataforma_.archivos;
  std::string actual = rutas::estandarizar(archivos.resolverEnlaces(*ruta));
  std::string destino = rutas::estandarizar(archivos.resolverEnlaces(instalador_.destino()));
  // The same name may be stored composed or decomposed depending on who wrote it.
  return plataforma_.textos->normalizar(actual) == plataforma_.textos->normalizar(destino);
}

bool Actualizador::empezar(const Diccionario& dic) {
  std::optional<Pedido> p = reglas_.leerPedido(dic);
  if (!p) return false;
  // A delta rebuilds only the build it was made from; the host then sends the whole one.
  if (p->base && *p->base != buildPropio()) return false;
  if (pedido_) {
    // The host asked again: tell it where things stand; nothing restarts.
    avisar(estado());
    return p->build == pedido_->build;
  }
  if (!puedeActualizarse()) {
    fallar("fuera_de_aplicaciones", p->build, false);
    return false;
  }
  pedido_ = *p;
  // The receipt of the update before this one is answered no more.
  Preferencias& preferencias = *plataforma_.preferencias;
  std::optional<Valor> recibo = preferencias.leer(claveDeRecibo());
  const Diccionario* anterior = recibo ? recibo->diccionario() : nullptr;
  if (recibo && !(anterior && anterior->empty()))
    preferencias.escribir(claveDeRecibo(), Valor(Diccionario{}));
  avisar(estadoDeFase("descargando", Valor(std::int64_t{0}), 0, p->tamano, p->build));
  if (std::optional<std::string> listo = zipListo(*p))
    comprobarEInstalar(*listo, *p);
  else
    descargar(*p);
  return true;
}

std::string Actualizador::carpeta() const {
  std::optional<std::string> caches = plataforma_.carpetas->caches();
  std::string base = caches && !caches->empty() ? *caches : plataforma_.carpetas->temporal();
  return rutas::unir(base, reglas_.identidad().carpetaDeDescargas());
}

std::string Actualizador::nombreDeArchivo(const Pedido& p, const char* extension) const {
  // Under the build's keep-prefix, so the sweep keeps it for this build only; a delta's
  // files never mix with those of the whole archive.
  std::string nombre = reglas_.identidad().fichero + "-" + std::to_string(p.build);
  if (p.base) nombre += ".desde-" + std::to_string(*p.base);
  return rutas::unir(carpeta(), nombre + extension);
}

std::string Actualizador::zip(const Pedido& p) const {
  return nombreDeArchivo(p, ".zip");
}

std::string Actualizador::reanudacion(const Pedido& p) const {
  return nombreDeArchivo(p, ".reanudar");
}

std::string Actualizador::parcial(const Pedido& p) const {
  return nombreDeArchivo(p, ".parcial");
}

void Actualizador::descargar(const Pedido& p) {
  Archivos& archivos = *plataforma_.archivos;
  const std::string dir = carpeta();
  archivos.crearCarpetas(dir);  // usually there already
  const std::string conservar = reglas_.identidad().fichero + "-" + std::to_string(p.build) + ".";
  std::vector<std::string> entradas = archivos.listar(dir).value_or(std::vector<std::string>{});
  for (const std::string& nombre : entradas)
    if (!rutas::empiezaPor(nombre, conservar)) archivos.eliminar(rutas::unir(dir, nombre));

  ConfiguracionDeSesion configuracion;
  configuracion.esperaDeDatos = 60;
  configuracion.esperaTotal = 3600;
  configuracion.sinCache = true;
  configuracion.esperarConectividad = false;
  sesion_ = plataforma_.red->crearSesion(configuracion, *this);
  if (!sesion_) {
    fallar("red", p.build, true);
    return;
  }

  OpcionesDeTarea opciones;
  opciones.archivoParcial = parcial(p);
  // No answer of the server may fill the disk: a body past the announced size is cut.
  opciones.limiteDeBytes = p.tamano;
  const std::string datos = reanudacion(p);
  if (std::optional<std::vector<std::uint8_t>> reanudar = archivos.leer(datos)) {
    archivos.eliminar(datos);  // one-shot: a record that fails now is not tried again
    tarea_ = sesion_->tareaConReanudacion(*reanudar, p.url, opciones);
  }
  if (!tarea_) tarea_ = sesion_->tarea(p.url, opciones);
  if (!tarea_) {
    fallar("red", p.build, true);
    return;
  }
  tarea_->empezar();
}

bool Actualizador::esDeLaSesionActual(const SesionDeDescarga& sesion) const {
  return pedido_ && sesion_ && sesion_.get() == &sesion;
}

void Actualizador::progreso(SesionDeDescarga& sesion, TareaDeDescarga&, std::int64_t,
                            std::int64_t totalEscritos, std::int64_t esperados) {
  exigirHiloPrincipal(*plataforma_.colaPrincipal, "progreso");
  if (!esDeLaSesionActual(sesion)) return;
  const double ahora = plataforma_.reloj->ahora();
  // Also holds back when the clock was set back.
  if (!(ahora - ultimoAvisoDeProgreso_ >= intervaloDeProgreso)) return;
  ultimoAvisoDeProgreso_ = ahora;
  const std::int64_t total = esperados >= 1 ? esperados : pedido_->tamano;
  double fraccion =
      static_cast<double>(totalEscritos) / static_cast<double>(std::max<std::int64_t>(total, 1));
  fraccion = std::clamp(fraccion, 0.0, 1.0);
  avisar(estadoDeFase("descargando", Valor(fraccion), totalEscritos, total, pedido_->build));
}

void Actualizador::terminado(SesionDeDescarga& sesion, TareaDeDescarga& tarea,
                             const std::string& ubicacion) {
  exigirHiloPrincipal(*plataforma_.colaPrincipal, "terminado");
  if (!esDeLaSesionActual(sesion)) return;
  std::optional<int> respuesta = tarea.respuesta();
  if (!respuesta || !esRespuestaConCuerpo(*respuesta)) return;  // an error page is no archive
  const std::string destino = zip(*pedido_);
  plataforma_.archivos->eliminar(destino);
  plataforma_.archivos->mover(ubicacion, destino);
}

void Actualizador::completado(SesionDeDescarga& sesion, TareaDeDescarga&,
                              const std::optional<ErrorDeRed>& error) {
  exigirHiloPrincipal(*plataforma_.colaPrincipal, "completado");
  if (!esDeLaSesionActual(sesion)) return;
  sesion_->terminarEInvalidar();
  soltarSesion();
  const Pedido p = *pedido_;
  if (error) {
    if (error->datosDeReanudacion)
      plataforma_.archivos->escribirAtomico(reanudacion(p), *error->datosDeReanudacion);
    fallar("red", p.build, true);
    return;
  }
  // A finished transfer is not yet a complete archive: only the size says so.
  if (std::optional<std::string> listo = zipListo(p)) {
    comprobarEInstalar(*listo, p);
    return;
  }
  plataforma_.archivos->eliminar(zip(p));
  fallar("red", p.build, true);
}

std::optional<std::string> Actualizador::zipListo(const Pedido& p) {
  const std::string ruta = zip(p);
  std::optional<std::int64_t> tamano = plataforma_.archivos->tamano(ruta);
  if (!tamano || *tamano != p.tamano) return std::nullopt;
  return ruta;
}

void Actualizador::comprobarEInstalar(const std::string& zip, const Pedido& p) {
  avisar(estadoDeFase("comprobando", Valor(std::int64_t{1}), p.tamano, p.tamano, p.build));
  const std::string dir = carpeta();
  const std::int64_t actual = buildPropio();
  plataforma_.colaGlobal->enviar([this, zip, p, dir, actual] {
    Verificacion resultado = comprobar(plataforma_, reglas_, zip, p, dir, actual);
    plataforma_.colaPrincipal->enviar([this, resultado = std::move(resultado), zip, p] {
      terminarComprobacion(resultado, zip, p);
    });
  });
}

void Actualizador::terminarComprobacion(const Verificacion& resultado, const std::string& zip,
                                        const Pedido& p) {
  exigirHiloPrincipal(*plataforma_.colaPrincipal, "comprobarEInstalar");
  if (const std::string* candidato = std::get_if<std::string>(&resultado)) {
    instalar(*candidato, p);
    return;
  }
  // A rejected archive is never verified twice: the next request downloads it again.
  plataforma_.archivos->eliminar(zip);
  fallar(std::get<Fallo>(resultado).motivo, p.build, true);
}

Actualizador::Verificacion Actualizador::comprobar(Plataforma& plataforma,
                                                   const ReglasDeActualizacion& reglas,
                                                   const std::string& zip, const Pedido& p,
                                                   const std::string& carpeta,
                                                   std::int64_t actual) {
  std::optional<std::array<std::uint8_t, 32>> resumen = resumenDe(plataforma, zip);
  if (!resumen || ReglasDeActualizacion::hex(*resumen) != p.sha256) return Fallo{"sha"};
  // Who made the archive is settled before anything in it is unpacked.
  if (std::optional<std::string> porque = rechazoDeFirmaDelArchivo(
          *plataforma.criptografia, reglas.clavePublica(), p.firmaDelArchivo, *resumen)) {
    plataforma.registro->escribir("[actualización] firma del archivo rechazada: " + *porque);
    return Fallo{"firma"};
  }

  Archivos& archivos = *plataforma.archivos;
  const Identidad& identidad = reglas.identidad();
  const std::string destino =
      rutas::unir(carpeta, identidad.fichero + "-" + std::to_string(p.build));
  archivos.eliminar(destino);  // stale files of an earlier attempt never mix in
  if (!ejecutar(plataforma, "/usr/bin/ditto", {"-x", "-k", zip, destino})) return Fallo{"instalar"};

  const std::string candidato = rutas::unir(destino, identidad.app());
  if (p.base)
    if (std::optional<Fallo> f = completarCandidato(plataforma, candidato)) return *f;
  std::optional<std::string> identificador;
  std::optional<std::int64_t> build;
  if (std::optional<Diccionario> info = Instalador::leerInfo(plataforma, candidato)) {
    if (const std::string* id = textoDe(*info, "CFBundleIdentifier")) identificador = *id;
    build = ReglasDeActualizacion::entero(buscar(*info, "CFBundleVersion"));
  }
  const bool tieneMacOS = archivos.existe(rutas::unir(candidato, "Contents/MacOS"));
  if (reglas.comprobarApp(identificador, build, tieneMacOS, p.build, actual) !=
      Comprobacion::vale())
    return Fallo{"firma"};

  ejecutar(plataforma, "/usr/bin/xattr", {"-dr", "com.apple.quarantine", candidato});

  const ValidacionDeFirma v = validarFirma(plataforma.firma, candidato,
                                           reglas.requisitoDeFirma(ReglasDeActualizacion::equipo));
  if (v.estado == 0) return candidato;
  if (v.validada)
    plataforma.registro->escribir("[actualización] firma rechazada (" + std::to_string(v.estado) +
                                  "): " + v.error.value_or(""));
  return Fallo{"firma"};
}

Actualizador::ValidacionDeFirma Actualizador::validarFirma(FirmaDeCodigo* firma,
                                                           const std::string& ruta,
                                                           const std::string& requisito) {
  if (!firma)
    return {FirmaDeCodigo::errSecCSSignatureNotVerifiable, false,
            "code signatures cannot be checked here"};
  std::unique_ptr<CodigoEstatico> codigo;
  std::int32_t estado = firma->crearCodigoEstatico(ruta, 0, codigo);
  if (estado != 0 || !codigo)
    return {estado != 0 ? estado : FirmaDeCodigo::errSecCSStaticCodeNotFound, false,
            "no code object for " + ruta};
  std::unique_ptr<RequisitoDeCodigo> compilado;
  estado = firma->crearRequisito(requisito, 0, compilado);
  if (estado != 0 || !compilado)
    return {estado != 0 ? estado : FirmaDeCodigo::errSecCSReqInvalid, false,
            "the signing requirement does not compile"};
  ValidacionDeFirma v{0, true, std::nullopt};
  v.estado = firma->comprobarValidez(*codigo,
                                     FirmaDeCodigo::kSecCSCheckAllArchitectures |
                                         FirmaDeCodigo::kSecCSCheckNestedCode |
                                         FirmaDeCodigo::kSecCSStrictValidate,
                                     compilado.get(), v.error);
  return v;
}

Diccionario Actualizador::firmaPropia() {
  bool empezar = false;
  {
    std::lock_guard<std::mutex> l(firmaPropia_->cerrojo);
    if (firmaPropia_->resultado) return *firmaPropia_->resultado;
    empezar = !firmaPropia_->pedida;
    firmaPropia_->pedida = true;
  }
  if (empezar) {
    // Everything the worker needs is copied now: it reads no updater state.
    std::optional<std::string> ruta = plataforma_.paquete->ruta();
    const std::string requisito = reglas_.requisitoDeFirma(ReglasDeActualizacion::equipo);
    plataforma_.colaGlobal->enviar(
        [compartida = firmaPropia_, firma = plataforma_.firma, ruta, requisito] {
          ValidacionDeFirma v =
              ruta && !ruta->empty()
                  ? validarFirma(firma, *ruta, requisito)
                  : ValidacionDeFirma{FirmaDeCodigo::errSecCSStaticCodeNotFound, false,
                                      "the application does not run from a bundle"};
          const std::string descripcion =
              v.estado == 0 ? "meets the requirement: " + requisito
                            : v.error.value_or("the signature does not meet the requirement");
          Diccionario resultado{{"valida", Valor(v.estado == 0)},
                                {"estado", Valor(static_cast<std::int64_t>(v.estado))},
                                {"descripcion", Valor(descripcion)}};
          std::lock_guard<std::mutex> l(compartida->cerrojo);
          compartida->resultado = std::move(resultado);
        });
  }
  return {{"valida", Valor(false)}, {"descripcion", Valor("the signature is being checked")}};
}

std::optional<Fallo> Actualizador::completarCandidato(Plataforma& plataforma,
                                                      const std::string& candidato) {
  // What the new seal names and the delta left out comes from the installed bundle, at the
  // same place; the validation that follows proves the result is the signed bundle.
  std::optional<std::string> instalada = plataforma.paquete->ruta();
  std::optional<ContenidoSellado> contenido =
      plataforma.firma && plataforma.archivos->existe(candidato)
          ? plataforma.firma->contenidoSellado(candidato)
          : std::nullopt;
  if (!instalada || !contenido) return Fallo{"firma"};
  Archivos& archivos = *plataforma.archivos;
  auto motivo = [](const Error& e) {
    // Not in the installed bundle: the delta cannot rebuild the signed one.
    return Fallo{e.dominio == Error::dominioPosix && e.codigo == 2 ? "firma" : "instalar"};
  };
  for (const auto& [ruta, modo] : contenido->archivos)
    if (Resultado e = archivos.completarDesde(*instalada, candidato, ruta, modo)) return motivo(*e);
  for (const auto& [ruta, objetivo] : contenido->enlaces)
    if (Resultado e = archivos.completarEnlace(candidato, ruta, objetivo)) return motivo(*e);
  for (const std::string& ruta : contenido->carpetas)
    if (!archivos.existe(rutas::unir(candidato, ruta)))
      if (Resultado e = archivos.crearCarpetas(rutas::unir(candidato, ruta))) return motivo(*e);
  return std::nullopt;
}

std::optional<std::string> Actualizador::sha256(Plataforma& plataforma, const std::string& ruta) {
  std::optional<std::array<std::uint8_t, 32>> bytes = resumenDe(plataforma, ruta);
  if (!bytes) return std::nullopt;
  return ReglasDeActualizacion::hex(*bytes);
}

bool Actualizador::ejecutar(Plataforma& plataforma, const std::string& programa,
                            const std::vector<std::string>& argumentos) {
  std::variant<int, Error> r = plataforma.procesos->ejecutar(programa, argumentos);
  const int* estado = std::get_if<int>(&r);
  return estado && *estado == 0;
}

void Actualizador::instalar(const std::string& candidato, const Pedido& p) {
  const std::int64_t b = p.build;
  avisar(estadoDeFase("instalando", Valor(std::int64_t{1}), p.tamano, p.tamano, b));
  Archivos& archivos = *plataforma_.archivos;
  Procesos& procesos = *plataforma_.procesos;
  const std::string app = instalador_.destino();
  const bool carpetaEscribible = archivos.escribible(rutas::padre(app));
  const bool appEscribible =
      archivos.escribible(app) && archivos.escribible(rutas::unir(app, "Contents"));
  const std::optional<std::uint32_t> dueno = archivos.dueno(app);
  const std::uint32_t uid = procesos.uid();
  const bool appEsDelUsuario = dueno && *dueno == uid;
  const std::int32_t propio = procesos.pid();
  const std::string pid = std::to_string(propio);
  // Read before the administrator route puts the new Info.plist in place.
  const std::int64_t desde = buildPropio();

  if (ReglasDeActualizacion::sinContrasena(carpetaEscribible, appEscribible, appEsDelUsuario)) {
    // A move of another copy may be using the new-copy path: let it finish first.
    instalador_.esperarNuevaCopia();
    const std::string nueva = instalador_.nuevaCopiaLibre();
    instalador_.reservarNuevaCopia(nueva, {propio});
    const bool puesta = !archivos.mover(candidato, nueva) || !archivos.copiar(candidato, nueva);
    if (!puesta) {
      archivos.eliminar(nueva);
      instalador_.soltarNuevaCopia();
      fallar("instalar", b, true);
      return;
    }
    escribirRecibo(p, desde, "cambio");
    std::optional<std::int32_t> guion =
        lanzarGuion(ReglasDeActualizacion::guionDeCambio, {pid, app, nueva});
    if (!guion) {
      archivos.eliminar(nueva);
      instalador_.soltarNuevaCopia();
      fallar("instalar", b, true);
      return;
    }
    // Until the script has swapped, a copy started meanwhile must leave the new copy alone.
    instalador_.reservarNuevaCopia(nueva, {propio, *guion});
  } else {
    if (Resultado e =
            instalador_.instalarComoAdministrador(candidato, procesos.nombreDeUsuario())) {
      fallar(e->esCocoa(Error::userCancelled) ? "cancelado" : "instalar", b, true);
      return;
    }
    // The new build is in place already; only the reopening would be lost.
    escribirRecibo(p, desde, "administrador");
    if (!lanzarGuion(ReglasDeActualizacion::guionDeReabrir, {pid, app})) {
      fallar("instalar", b, true);
      return;
    }
  }
  avisar(estadoDeFase("reabriendo", Valor(std::int64_t{1}), p.tamano, p.tamano, b));
  archivos.eliminar(carpeta());
  plataforma_.colaPrincipal->enviarDespues(esperaHastaTerminar, [this] { instalador_.terminar(); });
}

std::optional<std::int32_t> Actualizador::lanzarGuion(std::string_view guion,
                                                      const std::vector<std::string>& argumentos) {
  std::vector<std::string> todo{"-c", std::string(guion), "sh"};
  todo.insert(todo.end(), argumentos.begin(), argumentos.end());
  return plataforma_.procesos->lanzar("/bin/sh", todo);
}

void Actualizador::fallar(const std::string& motivo, std::int64_t build, bool contar) {
  plataforma_.registro->escribir("[actualización] build " + std::to_string(build) +
                                 " sin instalar: " + motivo);
  if (sesion_) {
    sesion_->invalidarYCancelar();
    soltarSesion();
  }
  pedido_.reset();
  if (contar) contarFallo(build);
  avisar({{"fase", Valor("fallo")}, {"motivo", Valor(motivo)}, {"build", Valor(build)}});
}

void Actualizador::contarFallo(std::int64_t build) {
  Preferencias& preferencias = *plataforma_.preferencias;
  const std::string clave = claveDeFallos();
  std::int64_t veces = 1;
  // Whatever is stored may be damaged or written by someone else: it only continues the
  // count when it reads as a record of this build.
  std::optional<Valor> guardado = preferencias.leer(clave);
  const Diccionario* registro = guardado ? guardado->diccionario() : nullptr;
  if (registro && ReglasDeActualizacion::entero(buscar(*registro, "build")) == build) {
    std::int64_t antes = ReglasDeActualizacion::entero(buscar(*registro, "veces")).value_or(0);
    antes = std::max<std::int64_t>(antes, 0);
    veces = antes == std::numeric_limits<std::int64_t>::max() ? antes : antes + 1;
  }
  preferencias.escribir(clave,
                        Valor(Diccionario{{"build", Valor(build)},
                                          {"veces", Valor(veces)},
                                          {"ultimo", Valor(plataforma_.reloj->ahora() * 1000.0)}}));
}

std::int64_t Actualizador::buildPropio() {
  std::optional<Diccionario> info = plataforma_.paquete->info();
  return ReglasDeActualizacion::entero(info ? buscar(*info, "CFBundleVersion") : nullptr)
      .value_or(0);
}

void Actualizador::escribirRecibo(const Pedido& p, std::int64_t desde, const char* ruta) {
  // The process identifier and the time tell a later process whether the one that wrote
  // it has gone: a live process of that number that started after this is another one.
  plataforma_.preferencias->escribir(
      claveDeRecibo(),
      Valor(Diccionario{{"identificador", Valor(reglas_.identificador())},
                        {"desde", Valor(desde)},
                        {"build", Valor(p.build)},
                        {"ruta", Valor(ruta)},
                        {"momento", Valor(plataforma_.reloj->ahora())},
                        {"pid", Valor(static_cast<std::int64_t>(plataforma_.procesos->pid()))}}));
}

Diccionario Actualizador::ultimaActualizacion() {
  // The record may be damaged, or written by another application sharing the defaults:
  // anything that does not read as ours answers nothing.
  std::optional<Valor> guardado = plataforma_.preferencias->leer(claveDeRecibo());
  const Diccionario* recibo = guardado ? guardado->diccionario() : nullptr;
  if (!recibo) return {};
  const std::string* identificador = textoDe(*recibo, "identificador");
  const std::optional<std::int64_t> build = ReglasDeActualizacion::entero(buscar(*recibo, "build"));
  const std::optional<std::int64_t> desde = ReglasDeActualizacion::entero(buscar(*recibo, "desde"));
  const std::optional<std::int64_t> pid = ReglasDeActualizacion::entero(buscar(*recibo, "pid"));
  const std::optional<double> momento = segundosDe(buscar(*recibo, "momento"));
  if (!identificador || *identificador != reglas_.identificador() || !build || !desde || !pid ||
      *pid <= 0 || *pid > std::numeric_limits<std::int32_t>::max() || !momento)
    return {};
  const std::int64_t actual = buildPropio();
  if (*build < actual) return {};  // the application has been updated since

  Procesos& procesos = *plataforma_.procesos;
  const std::int32_t escritor = static_cast<std::int32_t>(*pid);
  const std::int32_t propio = procesos.pid();
  const std::optional<double> inicioPropio = procesos.inicio(propio);
  // The process that wrote it is still there when its number is alive and that process
  // started before the record; without a start time the number alone decides.
  bool sigue = false;
  if (escritor == propio) {
    sigue = !inicioPropio || *inicioPropio <= *momento;
  } else if (procesos.vive(escritor)) {
    const std::optional<double> inicio = procesos.inicio(escritor);
    sigue = !inicio || *inicio <= *momento;
  }
  if (sigue) return {};

  const bool instalada = *build == actual && puedeActualizarse();
  const double hasta = inicioPropio.value_or(plataforma_.reloj->ahora());
  return {{"build", Valor(*build)},
          {"desde", Valor(*desde)},
          {"resultado", Valor(instalada ? "instalada" : "sin_instalar")},
          {"segundos", Valor(std::max(0.0, hasta - *momento))}};
}

void Actualizador::soltarSesion() {
  std::shared_ptr<SesionDeDescarga> sesion = std::move(sesion_);
  std::shared_ptr<TareaDeDescarga> tarea = std::move(tarea_);
  if (!sesion && !tarea) return;
  plataforma_.colaPrincipal->enviar(
      [sesion = std::move(sesion), tarea = std::move(tarea)]() mutable {
        tarea.reset();
        sesion.reset();
      });
}

}  // namespace ovelmar
