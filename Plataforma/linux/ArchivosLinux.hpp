#pragma once
#include "Plataforma/Archivos.hpp"

namespace ovelmar {

// std::filesystem and POSIX; the Trash through GIO.
class ArchivosLinux : public Archivos {
 public:
  bool existe(const std::string& ruta) override;
  bool escribible(const std::string& ruta) override;
  std::optional<std::uint32_t> dueno(const std::string& ruta) override;
  std::optional<bool> soloLectura(const std::string& ruta) override;
  std::string resolverEnlaces(const std::string& ruta) override;
  Resultado crearCarpetas(const std::string& ruta) override;
  std::optional<std::vector<std::string>> listar(const std::string& ruta) override;
  Resultado eliminar(const std::string& ruta) override;
  Resultado mover(const std::string& de, const std::string& a) override;
  Resultado copiar(const std::string& de, const std::string& a) override;
  Resultado reemplazar(const std::string& destino, const std::string& nueva) override;
  Resultado papelera(const std::string& ruta) override;
  std::optional<std::int64_t> tamano(const std::string& ruta) override;
  std::optional<std::vector<std::uint8_t>> leer(const std::string& ruta) override;
  std::unique_ptr<LectorDeArchivo> abrirParaLeer(const std::string& ruta) override;
  Resultado escribirAtomico(const std::string& ruta,
                            const std::vector<std::uint8_t>& bytes) override;
  Resultado completarDesde(const std::string& origen, const std::string& destino,
                           const std::string& relativa, std::uint32_t modo) override;
  Resultado completarEnlace(const std::string& destino, const std::string& relativa,
                            const std::string& objetivo) override;

 protected:
  // renameat2 within the working folder: 0, or the error number. NFS, ecryptfs and many
  // FUSE file systems refuse its flags with EINVAL; the moves then fall back to plain
  // renames with the same guarantees.
  virtual int renombrar(const std::string& de, const std::string& a, unsigned int banderas);

 private:
  // mover without the flag: never over an item that stands at `a`. 0 or the error number.
  int moverSinReemplazar(const std::string& de, const std::string& a);
  // reemplazar without the exchange: the old item aside under a name of its own, the new
  // one in, the old one back should that fail; `destino` is never missing afterwards.
  Resultado reemplazarSinIntercambio(const std::string& destino, const std::string& nueva);
};

// The extended attributes of one item (a link's own) copied onto another, as they are;
// those this file system or user may not set are skipped.
void copiarAtributos(const std::string& de, const std::string& a);

// The POSIX error as the platform reports it.
Error errorPosix(int numero);

}  // namespace ovelmar
