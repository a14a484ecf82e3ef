#include "ServidorHttps.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace ovelmar::pruebas {

namespace {

constexpr int segundosDeEspera = 30;

void exigir(bool bien, const char* que) {
  if (!bien) throw std::runtime_error(std::string("ServidorHttps: ") + que);
}

void extension(X509* cert, X509* emisor, int nid, const char* valor) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, emisor, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, valor);
  exigir(ext != nullptr, "certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `clave`, signed by `claveEmisor` (self-signed when `emisor` is null).
X509* certificado(EVP_PKEY* clave, const char* nombre, X509* emisor, EVP_PKEY* claveEmisor,
                  long serie) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serie);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_NAME* sujeto = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(sujeto, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(nombre), -1, -1, 0);
  X509_set_issuer_name(cert, emisor ? X509_get_subject_name(emisor) : sujeto);
  X509_set_pubkey(cert, clave);
  X509* firmante = emisor ? emisor : cert;
  extension(cert, firmante, NID_subject_key_identifier, "hash");
  if (emisor) {
    extension(cert, firmante, NID_authority_key_identifier, "keyid:always");
    extension(cert, firmante, NID_basic_constraints, "critical,CA:FALSE");
    extension(cert, firmante, NID_key_usage, "critical,digitalSignature");
    extension(cert, firmante, NID_ext_key_usage, "serverAuth");
    extension(cert, firmante, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  } else {
    extension(cert, firmante, NID_basic_constraints, "critical,CA:TRUE");
    extension(cert, firmante, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  exigir(X509_sign(cert, claveEmisor, EVP_sha256()) > 0, "signing a certificate");
  return cert;
}

std::string minusculas(std::string t) {
  std::transform(t.begin(), t.end(), t.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return t;
}

std::int64_t numero(const std::string& t) {
  std::int64_t n = -1;
  auto [fin, error] = std::from_chars(t.data(), t.data() + t.size(), n);
  return error == std::errc() && fin == t.data() + t.size() ? n : -1;
}

std::string textoDeEstado(int estado) {
  switch (estado) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    case 416:
      return "Range Not Satisfiable";
    default:
      return "Status";
  }
}

}  // namespace

struct ServidorHttps::Tls {
  SSL_CTX* ctx = nullptr;
  ~Tls() { SSL_CTX_free(ctx); }
};

ServidorHttps::ServidorHttps(const std::filesystem::path& carpeta) : tls_(std::make_unique<Tls>()) {
  EVP_PKEY* claveCa = EVP_EC_gen("P-256");
  EVP_PKEY* clave = EVP_EC_gen("P-256");
  exigir(claveCa && clave, "keys");
  X509* certCa = certificado(claveCa, "Ovelmar CA de pruebas", nullptr, claveCa, 1);
  X509* cert = certificado(clave, "127.0.0.1", certCa, claveCa, 2);

  ca_ = (carpeta / "ca.pem").string();
  FILE* f = std::fopen(ca_.c_str(), "w");
  exigir(f != nullptr, "writing ca.pem");
  PEM_write_X509(f, certCa);
  std::fclose(f);

  tls_->ctx = SSL_CTX_new(TLS_server_method());
  exigir(tls_->ctx && SSL_CTX_use_certificate(tls_->ctx, cert) == 1 &&
             SSL_CTX_use_PrivateKey(tls_->ctx, clave) == 1,
         "TLS context");
  X509_free(cert);
  X509_free(certCa);
  EVP_PKEY_free(clave);
  EVP_PKEY_free(claveCa);

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
  despertar_.notify_all();
  aceptador_.join();
  for (auto& h : hilos_) h.join();
  close(escucha_);
}

void ServidorHttps::publicar(const std::string& ruta, Recurso recurso) {
  std::lock_guard<std::mutex> cerrojo(mutex_);
  recursos_[ruta] = std::move(recurso);
  cortado_[ruta] = false;
}

std::string ServidorHttps::url(const std::string& ruta) const {
  return "https://127.0.0.1:" + std::to_string(puerto_) + ruta;
}

std::vector<Peticion> ServidorHttps::peticiones() const {
  std::lock_guard<std::mutex> cerrojo(mutex_);
  return peticiones_;
}

bool ServidorHttps::esperar(int ms) {
  std::unique_lock<std::mutex> cerrojo(mutex_);
  despertar_.wait_for(cerrojo, std::chrono::milliseconds(ms), [this] { return parar_.load(); });
  return !parar_;
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
    std::string primera = pedido.substr(0, finDeLinea);
    std::size_t a = primera.find(' '), b = primera.rfind(' ');
    if (a != std::string::npos && b > a) {
      p.metodo = primera.substr(0, a);
      p.ruta = primera.substr(a + 1, b - a - 1);
    }
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

    Recurso r;
    bool existe = false;
    bool cortar = false;
    {
      std::lock_guard<std::mutex> cerrojo(mutex_);
      peticiones_.push_back(p);
      auto it = recursos_.find(p.ruta);
      if (it != recursos_.end()) {
        existe = true;
        r = it->second;
        cortar = r.cortarTras >= 0 && !std::exchange(cortado_[p.ruta], true);
      }
    }
    if (!existe) r = Recurso{.cuerpo = "no such file", .estado = 404};

    // The whole body is [0, tamano); this answer sends [desde, hasta).
    int archivo = r.archivo.empty() ? -1 : open(r.archivo.c_str(), O_RDONLY | O_CLOEXEC);
    std::int64_t tamano =
        archivo >= 0 ? lseek(archivo, 0, SEEK_END) : static_cast<std::int64_t>(r.cuerpo.size());
    std::int64_t desde = 0, hasta = tamano;
    int estado = r.estado;
    std::string extra;
    auto rango = p.cabeceras.find("range");
    auto si = p.cabeceras.find("if-range");
    bool condicionCumplida = si == p.cabeceras.end() || (!r.etag.empty() && si->second == r.etag) ||
                             (!r.modificado.empty() && si->second == r.modificado);
    if (estado == 200 && r.rangos && rango != p.cabeceras.end() && condicionCumplida &&
        rango->second.rfind("bytes=", 0) == 0) {
      std::string intervalo = rango->second.substr(6);
      std::size_t guion = intervalo.find('-');
      std::int64_t inicio = numero(intervalo.substr(0, guion));
      std::int64_t fin = guion == std::string::npos ? -1 : numero(intervalo.substr(guion + 1));
      if (inicio >= tamano) {
        estado = 416;
        desde = hasta = 0;
        extra += "Content-Range: bytes */" + std::to_string(tamano) + "\r\n";
      } else if (inicio >= 0) {
        estado = 206;
        desde = inicio;
        if (fin >= inicio && fin < tamano) hasta = fin + 1;
        extra += "Content-Range: bytes " + std::to_string(desde) + "-" + std::to_string(hasta - 1) +
                 "/" + std::to_string(tamano) + "\r\n";
      }
    }
    std::string cabeza = "HTTP/1.1 " + std::to_string(estado) + " " + textoDeEstado(estado) +
                         "\r\nConnection: close\r\nContent-Type: application/octet-stream\r\n";
    if (!r.etag.empty()) cabeza += "ETag: " + r.etag + "\r\n";
    if (!r.modificado.empty()) cabeza += "Last-Modified: " + r.modificado + "\r\n";
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
      if (r.pausaMs > 0 && bien) bien = esperar(r.pausaMs);
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
