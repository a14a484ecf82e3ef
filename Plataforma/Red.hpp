#pragma once
// The URL session: downloads to a temporary file, with resume data when a transfer
// breaks off. Every delegate call arrives on the main queue, in order.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ovelmar {

struct ConfiguracionDeSesion {
  double esperaDeDatos = 60;  // longest wait for more data, seconds
  double esperaTotal = 3600;  // the whole resource, seconds
  bool sinCache = true;       // reload, ignoring locally cached data
  bool esperarConectividad = false;
};

class TareaDeDescarga {
 public:
  virtual ~TareaDeDescarga() = default;
  virtual void empezar() = 0;
  // The response's HTTP status code, 0 for a response that is not HTTP; empty before
  // any response arrived.
  virtual std::optional<int> respuesta() = 0;
};

// Where a task keeps its body and how large the body may grow.
struct OpcionesDeTarea {
  // The file the body is streamed to, kept there when the transfer breaks off with
  // resume data (the resume data names it). Empty: a temporary file of the session's.
  std::string archivoParcial;
  // The whole body may have at most this many bytes (resumed bytes included); a larger
  // body stops the transfer at once with an error. Negative: no limit.
  std::int64_t limiteDeBytes = -1;
};

struct ErrorDeRed {
  std::string descripcion;
  std::optional<std::vector<std::uint8_t>> datosDeReanudacion;
};

class SesionDeDescarga;

class DelegadoDeDescarga {
 public:
  virtual ~DelegadoDeDescarga() = default;
  virtual void progreso(SesionDeDescarga& sesion, TareaDeDescarga& tarea, std::int64_t escritos,
                        std::int64_t totalEscritos, std::int64_t esperados) = 0;
  // The finished body; the file is removed when this returns, so move it to keep it.
  // Delivered for every HTTP status: look at the task's response.
  virtual void terminado(SesionDeDescarga& sesion, TareaDeDescarga& tarea,
                         const std::string& ubicacion) = 0;
  virtual void completado(SesionDeDescarga& sesion, TareaDeDescarga& tarea,
                          const std::optional<ErrorDeRed>& error) = 0;
};

class SesionDeDescarga {
 public:
  virtual ~SesionDeDescarga() = default;
  virtual std::shared_ptr<TareaDeDescarga> tarea(const std::string& url,
                                                 const OpcionesDeTarea& opciones) = 0;
  // Resumes `url` from `datos`; resume data made for another URL, unreadable, or whose
  // partial file is gone or changed gives a fresh transfer of `url` instead.
  virtual std::shared_ptr<TareaDeDescarga> tareaConReanudacion(
      const std::vector<std::uint8_t>& datos, const std::string& url,
      const OpcionesDeTarea& opciones) = 0;
  // Both: no delegate call of this session arrives after them.
  virtual void terminarEInvalidar() = 0;
  virtual void invalidarYCancelar() = 0;
};

class Red {
 public:
  virtual ~Red() = default;
  virtual std::shared_ptr<SesionDeDescarga> crearSesion(const ConfiguracionDeSesion& configuracion,
                                                        DelegadoDeDescarga& delegado) = 0;
};

}  // namespace ovelmar
