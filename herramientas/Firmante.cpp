#include "Firmante.hpp"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "Plataforma/linux/FirmaDeCodigoLinux.hpp"
#include "Plataforma/linux/ManifiestoDeFirma.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "Plataforma/linux/RequisitoDeCodigoLinux.hpp"

namespace ovelmar {

namespace {

namespace fs = std::filesystem;

constexpr int kAnidamientoMaximo = 8;

struct Identidad {
  EVP_PKEY* clave = nullptr;
  X509* hoja = nullptr;
  STACK_OF(X509) * resto = sk_X509_new_null();
  Identidad() = default;
  Identidad(const Identidad&) = delete;
  Identidad& operator=(const Identidad&) = delete;
  ~Identidad() {
    EVP_PKEY_free(clave);
    X509_free(hoja);
    sk_X509_pop_free(resto, X509_free);
  }
};

std::string textoDelError(const std::string& que) {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  char linea[256] = "";
  if (e) ERR_error_string_n(e, linea, sizeof linea);
  return e ? que + " (" + linea + ")" : que;
}

Problema cargar(const Credencial& c, Identidad& id) {
  BIO* bio = BIO_new_mem_buf(c.clave.data(), static_cast<int>(c.clave.size()));
  // An empty pass phrase: an encrypted key fails instead of asking at the terminal.
  id.clave = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char*>("")) : nullptr;
  BIO_free(bio);
  if (!id.clave) return textoDelError("the key file holds no unencrypted PEM private key");
  bio = BIO_new_mem_buf(c.cadena.data(), static_cast<int>(c.cadena.size()));
  while (X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr) {
    if (!id.hoja)
      id.hoja = cert;
    else
      sk_X509_push(id.resto, cert);
  }
  BIO_free(bio);
  ERR_clear_error();
  if (!id.hoja) return "the chain file holds no PEM certificate";
  if (X509_check_private_key(id.hoja, id.clave) != 1)
    return textoDelError("the key does not belong to the first certificate of the chain");
  return std::nullopt;
}

Problema leer(const fs::path& ruta, std::string& bytes) {
  std::ifstream f(ruta, std::ios::binary);
  std::stringstream s;
  if (!f || (f.peek() != EOF && !(s << f.rdbuf()))) return "cannot read " + ruta.string();
  bytes = s.str();
  return std::nullopt;
}

Problema escribir(const fs::path& ruta, const std::string& bytes) {
  std::ofstream f(ruta, std::ios::binary | std::ios::trunc);
  if (!(f << bytes) || !f.flush()) return "cannot write " + ruta.string();
  return std::nullopt;
}

// A detached CMS signature over `datos`, with the signer's chain.
Problema firmarDatos(const Identidad& id, std::string_view datos, std::string& der) {
  BIO* entrada = BIO_new_mem_buf(datos.data(), static_cast<int>(datos.size()));
  CMS_ContentInfo* cms = entrada ? CMS_sign(id.hoja, id.clave, id.resto, entrada,
                                            CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP)
                                 : nullptr;
  BIO_free(entrada);
  unsigned char* bytes = nullptr;
  int largo = cms ? i2d_CMS_ContentInfo(cms, &bytes) : -1;
  CMS_ContentInfo_free(cms);
  if (largo <= 0) return textoDelError("OpenSSL could not make the signature");
  der.assign(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(largo));
  OPENSSL_free(bytes);
  return std::nullopt;
}

Problema sha256DeArchivo(const fs::path& ruta, Sha256& resumen) {
  std::ifstream f(ruta, std::ios::binary);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!f || !ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    return "cannot read " + ruta.string();
  std::vector<char> trozo(1 << 20);
  while (f.read(trozo.data(), static_cast<std::streamsize>(trozo.size())) || f.gcount() > 0)
    EVP_DigestUpdate(ctx.get(), trozo.data(), static_cast<std::size_t>(f.gcount()));
  if (f.bad()) return "cannot read " + ruta.string();
  unsigned int largo = 0;
  EVP_DigestFinal_ex(ctx.get(), resumen.data(), &largo);
  return std::nullopt;
}

struct Sellador {
  const Identidad& id;
  const Avance& avance;

  // Every item below `carpeta` into `m`; nested bundles are signed on the way.
  Problema recorrer(const fs::path& carpeta, const std::string& prefijo, Manifiesto& m,
                    int profundidad) {
    for (const fs::directory_entry& e : fs::directory_iterator(carpeta)) {
      const std::string nombre = e.path().filename().string();
      const std::string ruta = prefijo.empty() ? nombre : prefijo + "/" + nombre;
      if (ruta == sello::kCarpeta) continue;
      fs::file_status estado = e.symlink_status();
      if (fs::is_symlink(estado)) {
        m.enlaces[ruta] = fs::read_symlink(e.path()).string();
      } else if (fs::is_directory(estado)) {
        if (fs::is_regular_file(fs::symlink_status(e.path() / "Contents/Info.plist"))) {
          Sha256 suyo{};
          if (Problema p = sellar(e.path(), profundidad + 1, suyo)) return p;
          m.anidados[ruta] = suyo;
        } else {
          m.carpetas.insert(ruta);
          if (Problema p = recorrer(e.path(), ruta, m, profundidad)) return p;
        }
      } else if (fs::is_regular_file(estado)) {
        struct stat st {};
        if (lstat(e.path().c_str(), &st) != 0) return "cannot read " + e.path().string();
        ArchivoSellado& a = m.archivos[ruta];
        a.modo = st.st_mode & 07777;
        if (Problema p = sha256DeArchivo(e.path(), a.sha256)) return p;
      } else {
        return e.path().string() + " is neither a file, a folder nor a symbolic link";
      }
    }
    return std::nullopt;
  }

  // Writes the bundle's seal and its signature; `resumen` is the seal's SHA-256.
  Problema sellar(const fs::path& paquete, int profundidad, Sha256& resumen) {
    if (profundidad > kAnidamientoMaximo) return paquete.string() + " is nested too deeply";
    Manifiesto m;
    std::string info;
    if (Problema p = leer(paquete / "Contents/Info.plist", info)) return p;
    std::optional<Valor> v = PropiedadesLinux().leer(info);
    const std::string* identificador =
        v && v->diccionario() ? textoDe(*v->diccionario(), "CFBundleIdentifier") : nullptr;
    if (!identificador) return paquete.string() + "/Contents/Info.plist has no CFBundleIdentifier";
    m.identificador = *identificador;
    if (Problema p = recorrer(paquete, "", m, profundidad)) return p;

    const std::string bytes = escribirManifiesto(m);
    std::string error;
    if (!leerManifiesto(bytes, error))
      return paquete.string() + " cannot be signed: " + mostrable(error);
    const fs::path carpeta = paquete / std::string(sello::kCarpeta);
    fs::create_directories(carpeta);
    std::string firma;
    if (Problema p = firmarDatos(id, bytes, firma)) return p;
    if (Problema p = escribir(carpeta / std::string(sello::kRecursos), bytes)) return p;
    if (Problema p = escribir(carpeta / std::string(sello::kFirma), firma)) return p;
    fs::remove(carpeta / std::string(sello::kTicket));
    resumen = sha256De(bytes);
    if (avance)
      avance("signed " + paquete.string() + " (" + m.identificador + "): " +
             std::to_string(m.archivos.size()) + " files, " + std::to_string(m.enlaces.size()) +
             " links, " + std::to_string(m.anidados.size()) + " nested bundles");
    return std::nullopt;
  }
};

// Runs `paso`, turning file-system exceptions into a problem.
template <typename F>
Problema sinExcepciones(F paso) {
  try {
    return paso();
  } catch (const fs::filesystem_error& e) {
    return std::string(e.what());
  }
}

}  // namespace

Problema firmarPaquete(const std::string& paquete, const Credencial& firmante,
                       const Avance& avance) {
  Identidad id;
  if (Problema p = cargar(firmante, id)) return p;
  return sinExcepciones([&]() -> Problema {
    Sha256 resumen{};
    return Sellador{id, avance}.sellar(paquete, 0, resumen);
  });
}

Problema firmarSello(const std::string& paquete, const Credencial& firmante) {
  Identidad id;
  if (Problema p = cargar(firmante, id)) return p;
  const fs::path carpeta = fs::path(paquete) / std::string(sello::kCarpeta);
  std::string bytes, firma;
  if (Problema p = leer(carpeta / std::string(sello::kRecursos), bytes)) return p;
  if (Problema p = firmarDatos(id, bytes, firma)) return p;
  return escribir(carpeta / std::string(sello::kFirma), firma);
}

Problema notarizarPaquete(const std::string& paquete, const Credencial& notario) {
  Identidad id;
  if (Problema p = cargar(notario, id)) return p;
  const fs::path carpeta = fs::path(paquete) / std::string(sello::kCarpeta);
  std::string bytes, ticket;
  if (Problema p = leer(carpeta / std::string(sello::kRecursos), bytes))
    return "the bundle is not signed yet: " + *p;
  const Sha256 resumen = sha256De(bytes);
  if (Problema p = firmarDatos(
          id, std::string_view(reinterpret_cast<const char*>(resumen.data()), resumen.size()),
          ticket))
    return p;
  return escribir(carpeta / std::string(sello::kTicket), ticket);
}

Veredicto verificarPaquete(std::string_view raizPem, const std::string& requisito,
                           const std::string& paquete) {
  FirmaDeCodigoLinux firma(raizPem);
  std::unique_ptr<CodigoEstatico> codigo;
  std::unique_ptr<RequisitoDeCodigoLinux> compilado;
  std::optional<std::string> error;
  std::string porque;
  Veredicto v;
  if ((v.estado = firma.crearCodigoEstatico(paquete, 0, codigo)) != 0) {
    v.porque = "there is no bundle folder at " + paquete;
  } else if ((v.estado = RequisitoDeCodigoLinux::compilar(requisito, compilado, porque)) != 0) {
    v.porque = "the requirement does not compile: " + porque;
  } else {
    v.estado = firma.comprobarValidez(*codigo,
                                      FirmaDeCodigo::kSecCSCheckAllArchitectures |
                                          FirmaDeCodigo::kSecCSCheckNestedCode |
                                          FirmaDeCodigo::kSecCSStrictValidate,
                                      compilado.get(), error);
    if (v.estado != 0) v.porque = error.value_or("");
  }
  return v;
}

}  // namespace ovelmar
