#pragma once
// The updater: one per process (see the bundle's wiring); tests build their own. It owns
// the request in progress, the download session and the state the host sees. Everything
// here runs on the main thread, except reading the state, which any thread may do.

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

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
  void comprobarEInstalar(const std::string& zip, const Pedido& p);

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

 private:
  void descargar(const Pedido& p);
  void contarFallo(std::int64_t build);
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
};

}  // namespace ovelmar
