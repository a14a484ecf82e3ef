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
  double esperaDeDatos = 60;   // longest wait for more data, seconds
  double esperaTotal = 3600;   // the whole resource, seconds
  bool sinCache = true;        // reload, ignoring locally cached data
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
  // The temporary file is removed when this returns.
  virtual void terminado(SesionDeDescarga& sesion, TareaDeDescarga& tarea,
                         const std::string& ubicacion) = 0;
  virtual void completado(SesionDeDescarga& sesion, TareaDeDescarga& tarea,
                          const std::optional<ErrorDeRed>& error) = 0;
};

class SesionDeDescarga {
 public:
  virtual ~SesionDeDescarga() = default;
  virtual std::shared_ptr<TareaDeDescarga> tarea(const std::string& url) = 0;
  virtual std::shared_ptr<TareaDeDescarga> tareaConReanudacion(
      const std::vector<std::uint8_t>& datos) = 0;
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
