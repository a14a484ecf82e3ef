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
};

// The extended attributes of one item (a link's own) copied onto another, as they are;
// those this file system or user may not set are skipped.
void copiarAtributos(const std::string& de, const std::string& a);

// The POSIX error as the platform reports it.
Error errorPosix(int numero);

}  // namespace ovelmar
