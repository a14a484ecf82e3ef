#include "Actualizador.hpp"

#include <algorithm>
#include <array>
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
  if (p->base && *p->base != buildActual()) return false;
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

std::int64_t Actualizador::buildActual() const {
  std::optional<Diccionario> info = plataforma_.paquete->info();
  return ReglasDeActualizacion::entero(info ? buscar(*info, "CFBundleVersion") : nullptr)
      .value_or(0);
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
  const std::int64_t actual = buildActual();
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
  std::optional<std::string> resumen = sha256(plataforma, zip);
  if (!resumen || *resumen != p.sha256) return Fallo{"sha"};

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

  FirmaDeCodigo* firma = plataforma.firma;
  if (!firma) return Fallo{"firma"};
  std::unique_ptr<CodigoEstatico> codigo;
  if (firma->crearCodigoEstatico(candidato, 0, codigo) != 0 || !codigo) return Fallo{"firma"};
  std::unique_ptr<RequisitoDeCodigo> requisito;
  if (firma->crearRequisito(reglas.requisitoDeFirma(ReglasDeActualizacion::equipo), 0, requisito) !=
          0 ||
      !requisito)
    return Fallo{"firma"};
  std::optional<std::string> error;
  const std::int32_t estado = firma->comprobarValidez(*codigo,
                                                      FirmaDeCodigo::kSecCSCheckAllArchitectures |
                                                          FirmaDeCodigo::kSecCSCheckNestedCode |
                                                          FirmaDeCodigo::kSecCSStrictValidate,
                                                      requisito.get(), error);
  if (estado != 0) {
    plataforma.registro->escribir("[actualización] firma rechazada (" + std::to_string(estado) +
                                  "): " + error.value_or(""));
    return Fallo{"firma"};
  }
  return candidato;
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
  const std::array<std::uint8_t, 32> bytes = resumen->terminar();
  return ReglasDeActualizacion::hex(bytes);
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
