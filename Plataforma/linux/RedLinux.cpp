#include "RedLinux.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

namespace ovelmar {

namespace detalleRed {

using RelojMonotono = std::chrono::steady_clock;

// At most one progress item waits on the main queue, and a new one is sent no sooner
// than this after the last: the main queue stays free for everything else.
constexpr auto intervaloDeProgreso = std::chrono::milliseconds(50);
constexpr long maximoDeRedirecciones = 10;
constexpr const char* prefijoTemporal = "ovelmar-descarga-";

// What a main-queue item needs to reach the delegate. `delegado` and `sesion` are read
// on the main thread only; `valida` is also read by the workers.
struct Enlace {
  DelegadoDeDescarga* delegado = nullptr;
  std::weak_ptr<SesionDeDescarga> sesion;
  std::atomic<bool> valida{true};
};

// Shared by a task's handle, its worker thread and its main-queue items.
struct EstadoDeTarea {
  std::atomic<bool> cancelada{false};
  std::atomic<bool> acabada{false};
  std::atomic<std::int64_t> total{0};
  std::atomic<std::int64_t> esperados{-1};
  std::atomic<bool> progresoPendiente{false};
  // Main thread only.
  std::int64_t entregados = 0;
  std::optional<int> respuesta;
};

struct Plan {
  std::string url;
  std::string parcial;  // empty: a new temporary file
  std::int64_t limite = -1;
  std::int64_t desde = 0;  // resume here, if the partial file still ends here
  std::string etag;
  std::string modificado;
  ConfiguracionDeSesion configuracion;
  std::string ca;
};

// Every worker thread of one RedLinux, joined when it goes.
struct Hilos {
  struct Hilo {
    std::thread hilo;
    std::shared_ptr<EstadoDeTarea> estado;
  };
  std::mutex mutex;
  bool cerrado = false;
  std::vector<Hilo> lista;

  bool lanzar(std::shared_ptr<EstadoDeTarea> estado, std::function<void()> trabajo) {
    std::vector<std::thread> acabados;
    {
      std::lock_guard<std::mutex> cerrojo(mutex);
      if (cerrado) return false;
      for (auto it = lista.begin(); it != lista.end();) {
        if (it->estado->acabada) {
          acabados.push_back(std::move(it->hilo));
          it = lista.erase(it);
        } else {
          ++it;
        }
      }
      lista.push_back({std::thread(std::move(trabajo)), std::move(estado)});
    }
    for (auto& h : acabados) h.join();
    return true;
  }

  void cerrar() {
    std::vector<Hilo> todos;
    {
      std::lock_guard<std::mutex> cerrojo(mutex);
      cerrado = true;
      todos = std::move(lista);
    }
    for (auto& h : todos) h.estado->cancelada = true;
    for (auto& h : todos) h.hilo.join();
  }
};

namespace {

std::string minusculas(std::string_view t) {
  std::string r(t);
  std::transform(r.begin(), r.end(), r.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return r;
}

std::string_view recortar(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() &&
         (t.back() == ' ' || t.back() == '\t' || t.back() == '\r' || t.back() == '\n'))
    t.remove_suffix(1);
  return t;
}

// A non-negative decimal, or -1.
std::int64_t numero(std::string_view t) {
  t = recortar(t);
  std::int64_t n = -1;
  auto [fin, error] = std::from_chars(t.data(), t.data() + t.size(), n);
  if (error != std::errc() || fin != t.data() + t.size() || n < 0) return -1;
  return n;
}

// "bytes a-b/c": the first byte and the whole length (-1 when "*" or unreadable).
std::pair<std::int64_t, std::int64_t> rangoDeContenido(std::string_view t) {
  t = recortar(t);
  if (minusculas(t.substr(0, 6)) != "bytes ") return {-1, -1};
  t.remove_prefix(6);
  auto guion = t.find('-');
  auto barra = t.find('/');
  if (guion == std::string_view::npos || barra == std::string_view::npos || barra < guion)
    return {-1, -1};
  return {numero(t.substr(0, guion)), numero(t.substr(barra + 1))};
}

// A weak entity tag cannot make a range request conditional.
std::string validador(const std::string& etag, const std::string& modificado) {
  if (!etag.empty() && etag.rfind("W/", 0) != 0) return etag;
  return modificado;
}

bool esTemporalNuestro(const std::string& ruta) {
  std::filesystem::path p(ruta);
  return p.parent_path() == std::filesystem::path(g_get_tmp_dir()) &&
         p.filename().string().rfind(prefijoTemporal, 0) == 0;
}

// One transfer, run on its worker thread.
class Transferencia {
 public:
  Transferencia(Plan plan, ColaPrincipal& cola, Propiedades& propiedades,
                std::shared_ptr<Enlace> enlace, std::shared_ptr<TareaDeDescarga> tarea,
                std::shared_ptr<EstadoDeTarea> estado)
      : plan_(std::move(plan)),
        cola_(cola),
        propiedades_(propiedades),
        enlace_(std::move(enlace)),
        tarea_(std::move(tarea)),
        estado_(std::move(estado)) {}

  void correr() {
    // A write to a connection the server closed must be an error, not the end of the host.
    sigset_t senales;
    sigemptyset(&senales);
    sigaddset(&senales, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &senales, nullptr);

    if (abrir()) {
      transferir();
    } else {
      entregarFin(ErrorDeRed{fallo_, std::nullopt});
    }
    estado_->acabada = true;
  }

 private:
  bool abrir() {
    if (plan_.parcial.empty()) {
      std::string plantilla =
          (std::filesystem::path(g_get_tmp_dir()) / (std::string(prefijoTemporal) + "XXXXXX"))
              .string();
      fd_ = mkostemp(plantilla.data(), O_CLOEXEC);
      if (fd_ < 0) return fallar(std::string("temporary file: ") + std::strerror(errno));
      plan_.parcial = plantilla;
      plan_.desde = 0;
      return true;
    }
    // The partial file's name is ours: anything else found there (a folder, a link, a
    // pipe) is cleared once, or every later attempt of this build would fail the same way.
    // O_NONBLOCK keeps a pipe from blocking the open; regular files ignore it.
    struct stat st {};
    for (int intento = 0;; ++intento) {
      fd_ = open(plan_.parcial.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                 0644);
      if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) break;
      int numero = fd_ < 0 ? errno : 0;
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
      std::error_code e;
      if (intento > 0 || numero == EACCES || numero == ENOENT ||
          std::filesystem::remove_all(plan_.parcial, e) == 0)
        return fallar(plan_.parcial + ": " +
                      (numero ? std::strerror(numero) : "not a regular file"));
      plan_.desde = 0;
    }
    // A partial file that changed since the resume data was made is worth nothing.
    if (plan_.desde > 0 && st.st_size != plan_.desde) plan_.desde = 0;
    if (plan_.desde == 0 && !vaciar()) return false;
    if (lseek(fd_, plan_.desde, SEEK_SET) < 0) return fallar(std::strerror(errno));
    return true;
  }

  bool vaciar() {
    if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0)
      return fallar(plan_.parcial + ": " + std::strerror(errno));
    return true;
  }

  bool fallar(std::string porque) {
    if (fallo_.empty()) fallo_ = std::move(porque);
    return false;
  }

  void transferir() {
    CURL* c = curl_easy_init();
    if (!c) {
      cerrarArchivo();
      unlink(plan_.parcial.c_str());
      entregarFin(ErrorDeRed{"no transfer handle", std::nullopt});
      return;
    }
    char detalle[CURL_ERROR_SIZE] = {};
    curl_slist* cabeceras = nullptr;
    if (plan_.configuracion.sinCache) {
      cabeceras = curl_slist_append(cabeceras, "Cache-Control: no-cache");
      cabeceras = curl_slist_append(cabeceras, "Pragma: no-cache");
    }
    std::string condicion = validador(plan_.etag, plan_.modificado);
    if (plan_.desde > 0 && !condicion.empty()) {
      cabeceras = curl_slist_append(cabeceras, ("If-Range: " + condicion).c_str());
    }
    std::string rango = std::to_string(plan_.desde) + "-";
    auto ms = [](double s) { return static_cast<long>(std::clamp(s, 0.0, 1e8) * 1000.0); };

    curl_easy_setopt(c, CURLOPT_URL, plan_.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, maximoDeRedirecciones);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!plan_.ca.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, plan_.ca.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, ms(plan_.configuracion.esperaDeDatos));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, ms(plan_.configuracion.esperaDeDatos) / 1000));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, ms(plan_.configuracion.esperaTotal));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, cabeceras);
    if (plan_.desde > 0) curl_easy_setopt(c, CURLOPT_RANGE, rango.c_str());
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detalle);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Ovelmar");
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Transferencia::alLeerCabecera);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Transferencia::alLeerCuerpo);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Transferencia::alAvanzar);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

    CURLcode resultado = curl_easy_perform(c);
    curl_easy_cleanup(c);
    curl_slist_free_all(cabeceras);
    if (!cerrarArchivo() && resultado == CURLE_OK) fallar(std::strerror(errno));

    if (estado_->cancelada) {
      unlink(plan_.parcial.c_str());
      return;
    }
    // The body of a redirect that was not followed is not the resource either.
    if (resultado == CURLE_OK && fallo_.empty() && decidida_ && !ignorarCuerpo_) {
      avisarProgreso(true);
      entregarTerminado();
      entregarFin(std::nullopt);
      return;
    }
    std::string porque = !fallo_.empty() ? fallo_
                         : detalle[0]    ? std::string(detalle)
                                         : std::string(curl_easy_strerror(resultado));
    if (fallo_.empty() && resultado == CURLE_OK) porque = "the transfer ended without a response";
    ErrorDeRed error{porque, std::nullopt};
    if (fallo_.empty() && reanudable_ && total_ > 0 && enlace_->valida) {
      error.datosDeReanudacion = registro();
    } else {
      unlink(plan_.parcial.c_str());
    }
    entregarFin(error);
  }

  bool cerrarArchivo() {
    if (fd_ < 0) return true;
    int r = close(fd_);
    fd_ = -1;
    return r == 0;
  }

  std::vector<std::uint8_t> registro() {
    Diccionario d{
        {"url", Valor(plan_.url)}, {"bytes", Valor(total_)}, {"parcial", Valor(plan_.parcial)}};
    if (!etag_.empty()) d["etag"] = Valor(etag_);
    if (!modificado_.empty()) d["modificado"] = Valor(modificado_);
    std::string xml = propiedades_.escribirXml(Valor(std::move(d)));
    return std::vector<std::uint8_t>(xml.begin(), xml.end());
  }

  // Headers of every response arrive here, redirects and interim answers included; the
  // decision about the body is taken at the end of the headers of the final one.
  static size_t alLeerCabecera(char* datos, size_t tam, size_t n, void* yo) {
    auto* t = static_cast<Transferencia*>(yo);
    return t->cabecera(std::string_view(datos, tam * n)) ? tam * n : 0;
  }

  bool cabecera(std::string_view linea) {
    if (linea.rfind("HTTP/", 0) == 0) {
      auto espacio = linea.find(' ');
      codigo_ = espacio == std::string_view::npos
                    ? 0
                    : static_cast<int>(numero(linea.substr(espacio + 1, 3)));
      etag_.clear();
      modificado_.clear();
      rango_.clear();
      ubicacion_.clear();
      longitud_ = -1;
      decidida_ = false;
      return true;
    }
    if (decidida_) return true;  // trailers
    if (recortar(linea).empty()) {
      if (codigo_ >= 100 && codigo_ < 200) return true;
      if (codigo_ >= 300 && codigo_ < 400 && !ubicacion_.empty()) {
        ignorarCuerpo_ = true;  // libcurl follows it, or fails
        return true;
      }
      ignorarCuerpo_ = false;
      decidida_ = true;
      return decidir();
    }
    auto dos = linea.find(':');
    if (dos == std::string_view::npos) return true;
    std::string nombre = minusculas(recortar(linea.substr(0, dos)));
    std::string_view valor = recortar(linea.substr(dos + 1));
    if (nombre == "content-length") longitud_ = numero(valor);
    if (nombre == "content-range") rango_ = valor;
    if (nombre == "etag") etag_ = valor;
    if (nombre == "last-modified") modificado_ = valor;
    if (nombre == "location") ubicacion_ = valor;
    return true;
  }

  bool decidir() {
    estado_->total = 0;
    std::int64_t esperados = longitud_;
    if (plan_.desde > 0 && codigo_ == 206) {
      auto [inicio, completo] = rangoDeContenido(rango_);
      if (inicio != plan_.desde) return fallar("the server sent another range than asked for");
      esperados = completo >= 0 ? completo : longitud_ >= 0 ? plan_.desde + longitud_ : -1;
      // A 206 may leave the validators out: the ones the partial file was made with hold.
      if (etag_.empty() && modificado_.empty()) {
        etag_ = plan_.etag;
        modificado_ = plan_.modificado;
      }
      total_ = plan_.desde;
    } else if (plan_.desde > 0 && codigo_ == 416) {
      return fallar("HTTP 416: the range asked for is not satisfiable");
    } else {
      // Anything else is a whole body: the resource again (the server ignored the range
      // or it changed) or an error page. Either way the file starts over.
      if (codigo_ == 206) return fallar("HTTP 206 to a request for the whole body");
      if (plan_.desde > 0) {
        plan_.desde = 0;
        if (!vaciar()) return false;
      }
      total_ = 0;
    }
    reanudable_ = (codigo_ == 200 || codigo_ == 206) && !validador(etag_, modificado_).empty();
    if (plan_.limite >= 0 && esperados > plan_.limite)
      return fallar("the server announces more bytes than expected");
    estado_->esperados = esperados;
    estado_->total = total_;
    return true;
  }

  static size_t alLeerCuerpo(char* datos, size_t tam, size_t n, void* yo) {
    auto* t = static_cast<Transferencia*>(yo);
    return t->cuerpo(datos, tam * n) ? tam * n : 0;
  }

  bool cuerpo(const char* datos, size_t n) {
    if (estado_->cancelada) return false;
    if (ignorarCuerpo_) return true;
    if (!decidida_) return fallar("a body without headers");
    if (plan_.limite >= 0 && total_ + static_cast<std::int64_t>(n) > plan_.limite)
      return fallar("the body is longer than expected");
    for (size_t hecho = 0; hecho < n;) {
      ssize_t w = write(fd_, datos + hecho, n - hecho);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return fallar(plan_.parcial + ": " + std::strerror(errno));
      hecho += static_cast<size_t>(w);
    }
    total_ += static_cast<std::int64_t>(n);
    estado_->total = total_;
    avisarProgreso(false);
    return true;
  }

  static int alAvanzar(void* yo, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transferencia*>(yo)->estado_->cancelada ? 1 : 0;
  }

  // Sends a main-queue item that calls the delegate unless the session was
  // invalidated or released by then.
  void entregar(std::function<void(DelegadoDeDescarga&, SesionDeDescarga&, TareaDeDescarga&)> f,
                std::function<void()> despues = {}) {
    std::optional<int> respuesta;
    if (codigo_ > 0) respuesta = codigo_;
    cola_.enviar([enlace = enlace_, tarea = tarea_, estado = estado_, respuesta, f = std::move(f),
                  despues = std::move(despues)] {
      if (respuesta) estado->respuesta = respuesta;
      std::shared_ptr<SesionDeDescarga> sesion = enlace->sesion.lock();
      if (sesion && enlace->valida && enlace->delegado) f(*enlace->delegado, *sesion, *tarea);
      if (despues) despues();
    });
  }

  void avisarProgreso(bool final) {
    auto ahora = RelojMonotono::now();
    if (!final && (ahora - ultimoAviso_ < intervaloDeProgreso || estado_->progresoPendiente))
      return;
    ultimoAviso_ = ahora;
    estado_->progresoPendiente = true;
    entregar([estado = estado_](DelegadoDeDescarga& d, SesionDeDescarga& s, TareaDeDescarga& t) {
      estado->progresoPendiente = false;
      std::int64_t total = estado->total;
      if (total == estado->entregados) return;
      std::int64_t escritos = std::max<std::int64_t>(0, total - estado->entregados);
      estado->entregados = total;
      d.progreso(s, t, escritos, total, estado->esperados);
    });
  }

  void entregarTerminado() {
    std::string ruta = plan_.parcial;
    entregar([ruta](DelegadoDeDescarga& d, SesionDeDescarga& s,
                    TareaDeDescarga& t) { d.terminado(s, t, ruta); },
             [ruta] { unlink(ruta.c_str()); });
  }

  void entregarFin(std::optional<ErrorDeRed> error) {
    entregar([error = std::move(error)](DelegadoDeDescarga& d, SesionDeDescarga& s,
                                        TareaDeDescarga& t) { d.completado(s, t, error); });
  }

  Plan plan_;
  ColaPrincipal& cola_;
  Propiedades& propiedades_;
  std::shared_ptr<Enlace> enlace_;
  std::shared_ptr<TareaDeDescarga> tarea_;
  std::shared_ptr<EstadoDeTarea> estado_;
  int fd_ = -1;
  std::string fallo_;  // why we stopped the transfer ourselves
  std::int64_t total_ = 0;
  bool reanudable_ = false;
  RelojMonotono::time_point ultimoAviso_{};
  // The response being read.
  int codigo_ = 0;
  std::int64_t longitud_ = -1;
  std::string etag_, modificado_, rango_, ubicacion_;
  bool decidida_ = false;
  bool ignorarCuerpo_ = false;
};

class TareaLinux : public TareaDeDescarga, public std::enable_shared_from_this<TareaLinux> {
 public:
  TareaLinux(Plan plan, ColaPrincipal& cola, Propiedades& propiedades,
             std::shared_ptr<Enlace> enlace, std::shared_ptr<Hilos> hilos)
      : plan_(std::move(plan)),
        cola_(cola),
        propiedades_(propiedades),
        enlace_(std::move(enlace)),
        hilos_(std::move(hilos)) {}

  void empezar() override {
    if (empezada_ || !enlace_->valida || estado_->cancelada) return;
    empezada_ = true;
    auto t = std::make_shared<Transferencia>(plan_, cola_, propiedades_, enlace_,
                                             shared_from_this(), estado_);
    hilos_->lanzar(estado_, [t] { t->correr(); });
  }

  std::optional<int> respuesta() override { return estado_->respuesta; }

  const std::shared_ptr<EstadoDeTarea>& estado() const { return estado_; }

 private:
  Plan plan_;
  ColaPrincipal& cola_;
  Propiedades& propiedades_;
  std::shared_ptr<Enlace> enlace_;
  std::shared_ptr<Hilos> hilos_;
  std::shared_ptr<EstadoDeTarea> estado_ = std::make_shared<EstadoDeTarea>();
  bool empezada_ = false;
};

class SesionLinux : public SesionDeDescarga {
 public:
  SesionLinux(const ConfiguracionDeSesion& configuracion, std::string ca, ColaPrincipal& cola,
              Propiedades& propiedades, std::shared_ptr<Hilos> hilos)
      : configuracion_(configuracion),
        ca_(std::move(ca)),
        cola_(cola),
        propiedades_(propiedades),
        hilos_(std::move(hilos)) {}

  // A session let go without being invalidated stops its transfers.
  ~SesionLinux() override { invalidarYCancelar(); }

  const std::shared_ptr<Enlace>& enlace() const { return enlace_; }

  std::shared_ptr<TareaDeDescarga> tarea(const std::string& url,
                                         const OpcionesDeTarea& opciones) override {
    return nueva(plan(url, opciones));
  }

  std::shared_ptr<TareaDeDescarga> tareaConReanudacion(const std::vector<std::uint8_t>& datos,
                                                       const std::string& url,
                                                       const OpcionesDeTarea& opciones) override {
    Plan p = plan(url, opciones);
    leerRegistro(datos, p);
    return nueva(std::move(p));
  }

  void terminarEInvalidar() override {
    enlace_->valida = false;
    enlace_->delegado = nullptr;
  }

  void invalidarYCancelar() override {
    terminarEInvalidar();
    for (auto& e : tareas_) {
      if (auto estado = e.lock()) estado->cancelada = true;
    }
  }

 private:
  Plan plan(const std::string& url, const OpcionesDeTarea& opciones) const {
    Plan p;
    p.url = url;
    p.parcial = opciones.archivoParcial;
    p.limite = opciones.limiteDeBytes;
    p.configuracion = configuracion_;
    p.ca = ca_;
    return p;
  }

  // Fills in where to resume, when the record was made for this URL and this partial
  // file; the file's size is checked when the transfer starts. The record comes from
  // disk, so a path in it is never used unless it is the caller's or our own.
  void leerRegistro(const std::vector<std::uint8_t>& datos, Plan& p) {
    std::optional<Valor> v = propiedades_.leer(
        std::string_view(reinterpret_cast<const char*>(datos.data()), datos.size()));
    const Diccionario* d = v ? v->diccionario() : nullptr;
    if (!d) return;
    const std::string* url = textoDe(*d, "url");
    const std::string* parcial = textoDe(*d, "parcial");
    const Valor* bytes = buscar(*d, "bytes");
    const std::string* etag = textoDe(*d, "etag");
    const std::string* modificado = textoDe(*d, "modificado");
    if (!url || *url != p.url || !parcial || !bytes || !bytes->entero() || *bytes->entero() <= 0)
      return;
    if (p.parcial.empty() ? !esTemporalNuestro(*parcial) : *parcial != p.parcial) return;
    if (p.limite >= 0 && *bytes->entero() > p.limite) return;
    std::string e = etag ? *etag : std::string(), m = modificado ? *modificado : std::string();
    if (validador(e, m).empty()) return;
    p.parcial = *parcial;
    p.desde = *bytes->entero();
    p.etag = e;
    p.modificado = m;
  }

  std::shared_ptr<TareaDeDescarga> nueva(Plan p) {
    auto t = std::make_shared<TareaLinux>(std::move(p), cola_, propiedades_, enlace_, hilos_);
    if (!enlace_->valida) t->estado()->cancelada = true;
    std::erase_if(tareas_, [](const std::weak_ptr<EstadoDeTarea>& e) { return e.expired(); });
    tareas_.push_back(t->estado());
    return t;
  }

  ConfiguracionDeSesion configuracion_;
  std::string ca_;
  ColaPrincipal& cola_;
  Propiedades& propiedades_;
  std::shared_ptr<Hilos> hilos_;
  std::shared_ptr<Enlace> enlace_ = std::make_shared<Enlace>();
  std::vector<std::weak_ptr<EstadoDeTarea>> tareas_;
};

}  // namespace

}  // namespace detalleRed

RedLinux::RedLinux(ColaPrincipal& cola, Propiedades& propiedades)
    : cola_(cola), propiedades_(propiedades), hilos_(std::make_shared<detalleRed::Hilos>()) {
  static std::once_flag iniciada;
  std::call_once(iniciada, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

RedLinux::~RedLinux() {
  hilos_->cerrar();
}

std::shared_ptr<SesionDeDescarga> RedLinux::crearSesion(const ConfiguracionDeSesion& configuracion,
                                                        DelegadoDeDescarga& delegado) {
  std::string ca;
  {
    std::lock_guard<std::mutex> cerrojo(mutex_);
    ca = ca_;
  }
  auto sesion =
      std::make_shared<detalleRed::SesionLinux>(configuracion, ca, cola_, propiedades_, hilos_);
  sesion->enlace()->delegado = &delegado;
  sesion->enlace()->sesion = sesion;
  return sesion;
}

void RedLinux::confiarEn(const std::string& rutaDeCA) {
  std::lock_guard<std::mutex> cerrojo(mutex_);
  ca_ = rutaDeCA;
}

}  // namespace ovelmar
