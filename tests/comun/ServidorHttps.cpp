#include "ServidorHttps.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace ovelmar::pruebas {

namespace {

constexpr int segundosDeEspera = 30;

void exigir(bool bien, const char* que) {
  if (!bien) throw std::runtime_error(std::string("ServidorHttps: ") + que);
}

std::string minusculas(std::string t) {
  std::transform(t.begin(), t.end(), t.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return t;
}

}  // namespace

struct ServidorHttps::Tls {
  SSL_CTX* ctx = nullptr;
  ~Tls() { SSL_CTX_free(ctx); }
};

ServidorHttps::ServidorHttps(const std::filesystem::path& carpeta) : tls_(std::make_unique<Tls>()) {
  // One self-signed certificate for 127.0.0.1: the authority the client trusts.
  ca_ = (carpeta / "ca.pem").string();
  const std::string clave = (carpeta / "clave.pem").string();
  const std::string orden =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
      "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
      "-addext basicConstraints=critical,CA:TRUE -keyout '" +
      clave + "' -out '" + ca_ + "' 2>/dev/null";
  exigir(std::system(orden.c_str()) == 0, "making the certificate with openssl");
  tls_->ctx = SSL_CTX_new(TLS_server_method());
  exigir(tls_->ctx && SSL_CTX_use_certificate_file(tls_->ctx, ca_.c_str(), SSL_FILETYPE_PEM) == 1 &&
             SSL_CTX_use_PrivateKey_file(tls_->ctx, clave.c_str(), SSL_FILETYPE_PEM) == 1,
         "TLS context");
  std::filesystem::remove(clave);

  escucha_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in dir{};
  dir.sin_family = AF_INET;
  dir.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  dir.sin_port = 0;
  exigir(escucha_ >= 0 && bind(escucha_, reinterpret_cast<sockaddr*>(&dir), sizeof dir) == 0 &&
             listen(escucha_, 64) == 0,
         "listening on 127.0.0.1");
  socklen_t largo = sizeof dir;
  getsockname(escucha_, reinterpret_cast<sockaddr*>(&dir), &largo);
  puerto_ = ntohs(dir.sin_port);
  aceptador_ = std::thread([this] { aceptar(); });
}

ServidorHttps::~ServidorHttps() {
  {
    std::lock_guard<std::mutex> cerrojo(mutex_);
    parar_ = true;
    for (int fd : conexiones_) shutdown(fd, SHUT_RDWR);
  }
  aceptador_.join();
  for (auto& h : hilos_) h.join();
  close(escucha_);
}

void ServidorHttps::publicar(const std::string& ruta, Recurso recurso) {
  std::lock_guard<std::mutex> cerrojo(mutex_);
  recursos_[ruta] = std::move(recurso);
}

std::string ServidorHttps::url(const std::string& ruta) const {
  return "https://127.0.0.1:" + std::to_string(puerto_) + ruta;
}

std::vector<Peticion> ServidorHttps::peticiones() const {
  std::lock_guard<std::mutex> cerrojo(mutex_);
  return peticiones_;
}

void ServidorHttps::aceptar() {
  // A client that hangs up mid-body must not end the test process.
  sigset_t senales;
  sigemptyset(&senales);
  sigaddset(&senales, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &senales, nullptr);
  while (!parar_) {
    pollfd p{escucha_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept4(escucha_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    timeval espera{segundosDeEspera, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &espera, sizeof espera);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &espera, sizeof espera);
    std::lock_guard<std::mutex> cerrojo(mutex_);
    if (parar_) {
      close(fd);
      break;
    }
    conexiones_.push_back(fd);
    hilos_.emplace_back([this, fd] { atender(fd); });
  }
}

void ServidorHttps::atender(int fd) {
  SSL* ssl = SSL_new(tls_->ctx);
  SSL_set_fd(ssl, fd);
  auto enviar = [&](const char* datos, std::size_t n) {
    return n == 0 || SSL_write(ssl, datos, static_cast<int>(n)) == static_cast<int>(n);
  };

  std::string pedido;
  if (SSL_accept(ssl) == 1) {
    char buf[4096];
    while (pedido.find("\r\n\r\n") == std::string::npos && pedido.size() < 65536) {
      int n = SSL_read(ssl, buf, sizeof buf);
      if (n <= 0) break;
      pedido.append(buf, static_cast<std::size_t>(n));
    }
  }
  std::size_t finDeCabeceras = pedido.find("\r\n\r\n");
  if (finDeCabeceras != std::string::npos) {
    Peticion p;
    std::size_t finDeLinea = pedido.find("\r\n");
    std::size_t a = pedido.find(' '), b = pedido.rfind(' ', finDeLinea);
    if (b > a) p.ruta = pedido.substr(a + 1, b - a - 1);
    for (std::size_t i = finDeLinea + 2; i < finDeCabeceras;) {
      std::size_t fin = pedido.find("\r\n", i);
      std::string linea = pedido.substr(i, fin - i);
      i = fin + 2;
      std::size_t dos = linea.find(':');
      if (dos == std::string::npos) continue;
      std::size_t v = linea.find_first_not_of(' ', dos + 1);
      p.cabeceras[minusculas(linea.substr(0, dos))] =
          v == std::string::npos ? std::string() : linea.substr(v);
    }

    Recurso r{.cuerpo = "no such file", .estado = 404};
    {
      std::lock_guard<std::mutex> cerrojo(mutex_);
      peticiones_.push_back(p);
      if (auto it = recursos_.find(p.ruta); it != recursos_.end()) r = it->second;
    }
    const bool cortar = r.cortarTras >= 0;

    // The whole body is [0, tamano); this answer sends [desde, hasta).
    int archivo = r.archivo.empty() ? -1 : open(r.archivo.c_str(), O_RDONLY | O_CLOEXEC);
    std::int64_t tamano =
        archivo >= 0 ? lseek(archivo, 0, SEEK_END) : static_cast<std::int64_t>(r.cuerpo.size());
    std::int64_t desde = 0, hasta = tamano;
    int estado = r.estado;
    std::string extra;
    auto rango = p.cabeceras.find("range");
    auto si = p.cabeceras.find("if-range");
    bool condicionCumplida = si == p.cabeceras.end() || si->second == r.etag;
    // Open ranges only ("bytes=N-"), as a resuming client asks.
    if (estado == 200 && r.rangos && rango != p.cabeceras.end() && condicionCumplida &&
        rango->second.starts_with("bytes=") && rango->second.ends_with("-")) {
      std::int64_t inicio = std::strtoll(rango->second.c_str() + 6, nullptr, 10);
      if (inicio >= tamano) {
        estado = 416;
        desde = hasta = 0;
        extra += "Content-Range: bytes */" + std::to_string(tamano) + "\r\n";
      } else if (inicio >= 0) {
        estado = 206;
        desde = inicio;
        extra += "Content-Range: bytes " + std::to_string(desde) + "-" + std::to_string(hasta - 1) +
                 "/" + std::to_string(tamano) + "\r\n";
      }
    }
    // The reason phrase is free text; clients read the number.
    std::string cabeza = "HTTP/1.1 " + std::to_string(estado) +
                         " X\r\nConnection: close\r\nETag: " + r.etag + "\r\n";
    if (r.rangos) cabeza += "Accept-Ranges: bytes\r\n";
    if (!r.ubicacion.empty()) cabeza += "Location: " + r.ubicacion + "\r\n";
    if (r.longitudAnunciada >= 0) {
      cabeza += "Content-Length: " + std::to_string(r.longitudAnunciada) + "\r\n";
    } else if (!r.sinLongitud) {
      cabeza += "Content-Length: " + std::to_string(hasta - desde) + "\r\n";
    }
    cabeza += extra + "\r\n";

    bool bien = enviar(cabeza.data(), cabeza.size());
    std::vector<char> trozo(std::max<std::size_t>(r.trozo, 1));
    std::int64_t enviados = 0;
    for (std::int64_t i = desde; bien && i < hasta && !parar_;) {
      std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(trozo.size()), hasta - i);
      if (cortar) n = std::min(n, r.cortarTras - enviados);
      if (n <= 0) break;
      if (archivo >= 0) {
        bien = pread(archivo, trozo.data(), static_cast<std::size_t>(n), i) == n;
      } else {
        std::copy_n(r.cuerpo.data() + i, n, trozo.data());
      }
      bien = bien && enviar(trozo.data(), static_cast<std::size_t>(n));
      i += n;
      enviados += n;
      if (r.pausaMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.pausaMs));
    }
    if (archivo >= 0) close(archivo);
    // A dropped connection ends without close_notify, as a reset or crash would.
    if (!cortar) SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  std::lock_guard<std::mutex> cerrojo(mutex_);
  std::erase(conexiones_, fd);
  close(fd);
}

}  // namespace ovelmar::pruebas
