#pragma once
// Moving the application into the Applications folder: where it belongs, whether the
// running copy must move, copying it into place and handing over to the installed copy.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Plataforma/Plataforma.hpp"
#include "ReglasDeActualizacion.hpp"

namespace ovelmar {

class Instalador {
 public:
  Instalador(Plataforma& plataforma, ReglasDeActualizacion& reglas)
      : plataforma_(plataforma), reglas_(reglas) {}

  // Where the application belongs. `modoPrueba` and `destinoDir` are fixed on first use.
  bool modoPrueba() const;
  const std::string& destinoDir() const;
  std::string destino() const;

  // Whether the running copy sits in a download location.
  std::string rutaOriginal(const std::string& actual) const;
  std::optional<std::string> volumenDelDMG(const std::string& ruta) const;
  bool esDescargas(const std::string& ruta) const;
  bool hayQueMover(const std::string& original, const std::string& actual) const;

  // Copying into place. Each either succeeds (empty) or fails with one error.
  Resultado instalar(const std::string& origen);
  Resultado quitarCuarentena(const std::string& paquete);
  Resultado instalarComoAdministrador(const std::string& origen,
                                      const std::optional<std::string>& dueno);
  void cerrarOtrasCopias();
  // The shell command of the administrator route and the script that runs it.
  std::string ordenDeAdministrador(const std::string& origen,
                                   const std::optional<std::string>& dueno) const;
  static std::string fuenteDeAdministrador(const std::string& orden);

  // The hand-over to the installed copy. Both return before the process ends.
  void abrirInstalada(const std::string& original, bool reintentar, bool instanciaNueva);
  void terminar();
  void expulsarMasTarde(const std::string& volumen);

  // The new copy beside the destination serves both the move and the updater's swap, which
  // may run in two processes at once. A record in the user defaults names the processes
  // that hold it; it lapses once they are gone, and at the latest `vigenciaDeReserva`
  // seconds after it was written (longer than the swap script can take).
  std::string nuevaCopia() const { return destino() + ".nuevo"; }
  // The new copy with whatever stood there removed; a sibling name when that cannot be
  // removed, so that a leftover never blocks every later install.
  std::string nuevaCopiaLibre();
  void reservarNuevaCopia(const std::string& ruta, const std::vector<std::int32_t>& procesos);
  void soltarNuevaCopia();
  // Runs the main queue while another live process holds the new copy, until its record
  // lapses at the latest.
  void esperarNuevaCopia();
  // Removes new copies nobody holds: the remains of an interrupted move or swap.
  void limpiarNuevaCopia();
  static constexpr double vigenciaDeReserva = 40.0;

  // A bundle's Contents/Info.plist, when it is a readable dictionary of sane size.
  static std::optional<Diccionario> leerInfo(Plataforma& plataforma, const std::string& paquete);

  // The move flow: true when this process is on its way out.
  bool moverSiHaceFalta();
  bool copiaDeDestinoAbierta();
  std::optional<std::int64_t> versionInstalada();
  std::int64_t versionPropia();
  // A build number: an optional sign and decimal digits that fit in 64 bits, nothing else.
  static std::optional<std::int64_t> numeroDeBuild(std::string_view texto);

 private:
  struct Lugar {
    bool modoPrueba = false;
    std::string destinoDir;
  };
  const Lugar& lugar() const;

  bool instaladaAlMenosIgual();
  std::string claveDeReserva() const;
  // The record of the new copy when another live process holds it.
  std::optional<Diccionario> reservaAjena();
  void continuarApertura(const std::optional<Error>& error, bool reintentar,
                         const std::string& original);
  // Activates the application and shows the alert; the index of the button pressed.
  int alertar(const Alerta& alerta);
  // The test-mode line on standard output.
  void escribirLinea(const std::string& linea);

  Plataforma& plataforma_;
  ReglasDeActualizacion& reglas_;
  mutable std::once_flag unaVez_;
  mutable Lugar lugar_;
};

}  // namespace ovelmar
