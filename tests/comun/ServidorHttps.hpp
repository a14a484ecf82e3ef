#pragma once
// A real HTTPS server on 127.0.0.1 for tests and benchmarks. It makes its own self-signed
// certificate for 127.0.0.1 at start, listens on a port the system picks, and answers one
// request per connection ("Connection: close") from a table of paths, each with its own
// misbehaviour.
//
//   ServidorHttps servidor(carpeta.ruta());
//   servidor.publicar("/Foo-42.zip", {.cuerpo = bytes});
//   redLinux.confiarEn(servidor.ca());
//   ... servidor.url("/Foo-42.zip") ...
//
// The destructor closes every connection and waits for every thread. Unknown paths get
// 404. Everything is bounded: sockets time out after 30 s.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace ovelmar::pruebas {

// How one path is answered.
struct Recurso {
  std::string cuerpo{};
  std::string archivo{};  // serve this file's bytes instead of `cuerpo` (large bodies)
  // 200 serves ranges too (206, or 416 past the end); any other status is sent as is,
  // with the body.
  int estado = 200;
  std::string etag = "\"v1\"";
  bool rangos = true;        // false: Range is ignored, always 200 with the whole body
  bool sinLongitud = false;  // no Content-Length: the end of the body closes the connection
  std::int64_t longitudAnunciada = -1;  // >= 0: this Content-Length, whatever is sent
  std::int64_t cortarTras = -1;         // >= 0: every answer breaks off after this many bytes
  int pausaMs = 0;                      // between pieces of `trozo` bytes: a slow body
  std::size_t trozo = 16 * 1024;
  std::string ubicacion{};  // Location header, for a 3xx `estado`
};

// `n` bytes that no server answer would produce by chance: a body to compare byte for byte.
inline std::string bytesAlAzar(std::size_t n, unsigned semilla) {
  std::mt19937 azar(semilla);
  std::string r(n, '\0');
  for (char& c : r) c = static_cast<char>(azar());
  return r;
}

// A request as received; header names in lower case.
struct Peticion {
  std::string ruta;
  std::map<std::string, std::string> cabeceras;
};

class ServidorHttps {
 public:
  // Writes the authority's certificate to `carpeta`/ca.pem (with the openssl tool); the
  // folder must exist.
  explicit ServidorHttps(const std::filesystem::path& carpeta);
  ~ServidorHttps();
  ServidorHttps(const ServidorHttps&) = delete;
  ServidorHttps& operator=(const ServidorHttps&) = delete;

  void publicar(const std::string& ruta, Recurso recurso);
  // "https://127.0.0.1:<port>" followed by `ruta`.
  std::string url(const std::string& ruta) const;
  // The path of the authority's certificate (PEM): what a client must trust.
  const std::string& ca() const { return ca_; }
  // Every request received so far, in order.
  std::vector<Peticion> peticiones() const;

 private:
  struct Tls;
  void aceptar();
  void atender(int fd);

  std::unique_ptr<Tls> tls_;
  std::string ca_;
  int escucha_ = -1;
  int puerto_ = 0;
  std::atomic<bool> parar_{false};
  mutable std::mutex mutex_;
  std::map<std::string, Recurso> recursos_;
  std::vector<Peticion> peticiones_;
  std::vector<int> conexiones_;
  std::vector<std::thread> hilos_;
  std::thread aceptador_;
};

}  // namespace ovelmar::pruebas
