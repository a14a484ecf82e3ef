#pragma once
// The updater: one per process (see the bundle's wiring); tests build their own. It owns
// the request in progress, the download session and the state the host sees. Everything
// here runs on the main thread, except the verification proper, which runs on a worker,
// and reading the state, which any thread may do.

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Fallo.hpp"
#include "Instalador.hpp"
#include "Pedido.hpp"
#include "Plataforma/Plataforma.hpp"
#include "ReglasDeActualizacion.hpp"

namespace ovelmar {

class Actualizador : public DelegadoDeDescarga {
 public:
  Actualizador(Plataforma& plataforma, ReglasDeActualizacion& reglas, Instalador& instalador)
      : plataforma_(plataforma), reglas_(reglas), instalador_(instalador) {}
  ~Actualizador() override;
  Actualizador(const Actualizador&) = delete;
  Actualizador& operator=(const Actualizador&) = delete;

  // A copy of the published state, consistent from any thread; replaced whole by `avisar`.
  Diccionario estado() const;
  // Replaces the state and posts it, synchronously, under `aviso()`.
  void avisar(Diccionario nuevo);
  std::string aviso() const { return reglas_.identidad().aviso(); }
  std::string claveDeFallos() const { return reglas_.identidad().claveDeFallos(); }
  // The record of the last update handed to a script, beside the failure record.
  std::string claveDeRecibo() const { return reglas_.identificador() + ".actualizacion.ultima"; }

  // What became of the last update handed to a script, once the process that handed it
  // over has gone: "build", "desde", "resultado" ("instalada" or "sin_instalar") and
  // "segundos" (from the hand-over to this process's start). Empty when there is nothing
  // to tell: no record, a damaged or foreign one, one older than the running build, its
  // process still running, or another update started since.
  Diccionario ultimaActualizacion();
  // The running application's own signature against the requirement its updates must
  // meet, checked once per process on a worker from the first call on: "valida",
  // "descripcion", and "estado" (the status) once the check has ended.
  Diccionario firmaPropia();

  // Whether the running application sits at its installed place.
  bool puedeActualizarse();
  // Accepts or refuses an update request; the answer of the host's `actualizar:`.
  bool empezar(const Diccionario& pedido);

  // The per-application download folder and the files of one request in it.
  std::string carpeta() const;
  std::string zip(const Pedido& p) const;
  std::string reanudacion(const Pedido& p) const;
  // Where the session streams the body of `p`; kept beside its resume data.
  std::string parcial(const Pedido& p) const;

  // The archive of `p` when it lies complete in the download folder (size check only).
  std::optional<std::string> zipListo(const Pedido& p);
  // Publishes "comprobando", verifies on a worker and goes on on the main queue: the swap,
  // or the failure with the archive deleted.
  void comprobarEInstalar(const std::string& zip, const Pedido& p);

  // The verification proper: digest, unpacking, candidate, quarantine, signature, in that
  // order; the first failure wins. Touches no updater state, so it runs on any thread.
  using Verificacion = std::variant<std::string, Fallo>;  // the candidate bundle, or why not
  static Verificacion comprobar(Plataforma& plataforma, const ReglasDeActualizacion& reglas,
                                const std::string& zip, const Pedido& p, const std::string& carpeta,
                                std::int64_t actual);
  // The file's SHA-256 as lower-case hexadecimal, read in pieces; empty when it cannot be
  // read to the end.
  static std::optional<std::string> sha256(Plataforma& plataforma, const std::string& ruta);
  // A delta's unpacked bundle filled with what its seal names from the installed bundle;
  // empty when it could be, else why not.
  static std::optional<Fallo> completarCandidato(Plataforma& plataforma,
                                                 const std::string& candidato);
  // The bundle at `ruta` against a signing requirement, validated with flags 0x19: the
  // status of the first step that fails, 0 when all pass. `validada` says whether the
  // validation itself answered; `error` is its description, or says which step failed.
  struct ValidacionDeFirma {
    std::int32_t estado = 0;
    bool validada = false;
    std::optional<std::string> error;
  };
  static ValidacionDeFirma validarFirma(FirmaDeCodigo* firma, const std::string& ruta,
                                        const std::string& requisito);
  // Runs a tool and waits: whether it ran and exited with status 0.
  static bool ejecutar(Plataforma& plataforma, const std::string& programa,
                       const std::vector<std::string>& argumentos);

  // The swap of a verified candidate: by a detached script once the host has quit, or at
  // once with administrator rights; then "reabriendo" and the host asked to end.
  void instalar(const std::string& candidato, const Pedido& p);
  // Starts the script in /bin/sh with the arguments as $1...; never waits for it. Its
  // process, or empty when it cannot start.
  std::optional<std::int32_t> lanzarGuion(std::string_view guion,
                                          const std::vector<std::string>& argumentos);

  // The single failure exit: log, stop the transfer, forget the request, count, publish.
  void fallar(const std::string& motivo, std::int64_t build, bool contar);

  // The session's callbacks, on the main queue.
  void progreso(SesionDeDescarga& sesion, TareaDeDescarga& tarea, std::int64_t escritos,
                std::int64_t totalEscritos, std::int64_t esperados) override;
  void terminado(SesionDeDescarga& sesion, TareaDeDescarga& tarea,
                 const std::string& ubicacion) override;
  void completado(SesionDeDescarga& sesion, TareaDeDescarga& tarea,
                  const std::optional<ErrorDeRed>& error) override;

  static constexpr double intervaloDeProgreso = 0.25;  // seconds between progress posts
  static constexpr double esperaHastaTerminar = 0.8;   // from "reabriendo" to the end

 private:
  void descargar(const Pedido& p);
  void terminarComprobacion(const Verificacion& resultado, const std::string& zip, const Pedido& p);
  void contarFallo(std::int64_t build);
  std::string nombreDeArchivo(const Pedido& p, const char* extension) const;
  // The running application's build as its Info.plist says, 0 when it says none.
  std::int64_t buildPropio();
  void escribirRecibo(const Pedido& p, std::int64_t desde, const char* ruta);
  // Whether a callback comes from the session of the request in progress.
  bool esDeLaSesionActual(const SesionDeDescarga& sesion) const;
  // Drops the session once the callback that may be running inside it has returned.
  void soltarSesion();

  Plataforma& plataforma_;
  ReglasDeActualizacion& reglas_;
  Instalador& instalador_;
  mutable std::mutex cerrojoDeEstado_;  // the host may read the state from any thread
  Diccionario estado_{{"fase", Valor("nada")}};
  std::optional<Pedido> pedido_;
  std::shared_ptr<SesionDeDescarga> sesion_;
  std::shared_ptr<TareaDeDescarga> tarea_;
  double ultimoAvisoDeProgreso_ = -std::numeric_limits<double>::infinity();
  // Shared with the worker that checks the own signature, which may outlive a test's updater.
  struct FirmaPropia {
    std::mutex cerrojo;
    bool pedida = false;
    std::optional<Diccionario> resultado;
  };
  std::shared_ptr<FirmaPropia> firmaPropia_ = std::make_shared<FirmaPropia>();
};

}  // namespace ovelmar
