#include "Publicador.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "Ovelmar/Actualizador.hpp"
#include "Ovelmar/Identidad.hpp"
#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/ArchivosLinux.hpp"
#include "Plataforma/linux/CriptografiaLinux.hpp"
#include "Plataforma/linux/FirmaDeCodigoLinux.hpp"
#include "Plataforma/linux/PaquetePrincipalLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"
#include "Plataforma/linux/UrlsLinux.hpp"
#include "herramientas/desempaquetado/Desempaquetador.hpp"

namespace ovelmar {

namespace {

namespace fs = std::filesystem;

using Archivo = std::unique_ptr<struct archive, decltype(&archive_write_free)>;
using Entrada = std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)>;

std::string errorDe(struct archive* a, const std::string& que) {
  const char* e = archive_error_string(a);
  return que + ": " + (e ? e : "libarchive failed");
}

// Whether two files hold the same bytes.
bool mismosBytes(const fs::path& a, const fs::path& b) {
  std::error_code e;
  if (fs::file_size(a, e) != fs::file_size(b, e) || e) return false;
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (fa && fb) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
      return false;
  }
  return fa.eof() && fb.eof();
}

struct Escritor {
  struct archive* a;
  Archivado& cuenta;
  // For a delta: the older build, and the path below the bundle of the item written.
  std::optional<fs::path> desde{};

  // A delta leaves out links and the files the older build holds unchanged at the same place.
  bool omitir(const fs::path& ruta, const std::string& nombre, const struct stat& st) const {
    if (!desde || S_ISDIR(st.st_mode)) return false;
    if (S_ISLNK(st.st_mode)) return true;
    if (nombre.find("/_CodeSignature/") != std::string::npos) return false;
    const fs::path relativa =
        fs::path(nombre).lexically_relative(fs::path(nombre).begin()->string());
    const fs::path antigua = *desde / relativa;
    std::error_code e;
    return fs::symlink_status(antigua, e).type() == fs::file_type::regular &&
           mismosBytes(ruta, antigua);
  }

  // `ruta` on disk becomes the entry `nombre`; a folder's items follow it, sorted by name
  // so that the same bundle always gives the same archive.
  Problema escribir(const fs::path& ruta, const std::string& nombre) {
    struct stat st {};
    if (lstat(ruta.c_str(), &st) != 0) return "cannot read " + ruta.string();
    if (omitir(ruta, nombre, st)) return std::nullopt;
    Entrada e(archive_entry_new(), archive_entry_free);
    archive_entry_copy_pathname(e.get(), (S_ISDIR(st.st_mode) ? nombre + "/" : nombre).c_str());
    archive_entry_set_perm(e.get(), st.st_mode & 07777);
    archive_entry_set_mtime(e.get(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    std::string destino;
    if (S_ISLNK(st.st_mode)) {
      destino = fs::read_symlink(ruta).string();
      archive_entry_set_filetype(e.get(), AE_IFLNK);
      archive_entry_copy_symlink(e.get(), destino.c_str());
      ++cuenta.enlaces;
    } else if (S_ISDIR(st.st_mode)) {
      archive_entry_set_filetype(e.get(), AE_IFDIR);
      ++cuenta.carpetas;
    } else if (S_ISREG(st.st_mode)) {
      archive_entry_set_filetype(e.get(), AE_IFREG);
      archive_entry_set_size(e.get(), st.st_size);
      ++cuenta.archivos;
    } else {
      return ruta.string() + " is neither a file, a folder nor a symbolic link";
    }
    if (archive_write_header(a, e.get()) < ARCHIVE_OK) return errorDe(a, nombre);
    if (S_ISREG(st.st_mode)) {
      std::ifstream f(ruta, std::ios::binary);
      std::vector<char> trozo(1 << 20);
      std::int64_t escrito = 0;
      while (f.read(trozo.data(), static_cast<std::streamsize>(trozo.size())) || f.gcount() > 0) {
        if (archive_write_data(a, trozo.data(), static_cast<std::size_t>(f.gcount())) < 0)
          return errorDe(a, nombre);
        escrito += f.gcount();
      }
      // A file that changed while it was read would no longer match its seal.
      if (f.bad() || escrito != st.st_size) return "cannot read " + ruta.string() + " whole";
    }
    if (!S_ISDIR(st.st_mode)) return std::nullopt;
    std::vector<fs::path> hijos;
    for (const fs::directory_entry& h : fs::directory_iterator(ruta)) hijos.push_back(h.path());
    std::sort(hijos.begin(), hijos.end());
    for (const fs::path& h : hijos)
      if (Problema p = escribir(h, nombre + "/" + h.filename().string())) return p;
    return std::nullopt;
  }
};

template <typename F>
auto sinExcepciones(F paso) -> decltype(paso()) {
  try {
    return paso();
  } catch (const fs::filesystem_error& e) {
    return std::string(e.what());
  }
}

// The folder itself, whether or not its path ends in a slash.
fs::path laCarpeta(const std::string& ruta) {
  const fs::path p = fs::path(ruta).lexically_normal();
  return p.has_filename() ? p : p.parent_path();
}

// A URL path segment: everything but the unreserved characters percent-encoded.
std::string segmentoDeUrl(const std::string& s) {
  std::string r;
  for (unsigned char c : s) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      r += static_cast<char>(c);
    } else {
      char b[4];
      std::snprintf(b, sizeof b, "%%%02X", c);
      r += b;
    }
  }
  return r;
}

Problema escribirTexto(const fs::path& ruta, const std::string& texto) {
  std::ofstream f(ruta, std::ios::binary | std::ios::trunc);
  if (!(f << texto) || !f.flush()) return "cannot write " + ruta.string();
  return std::nullopt;
}

}  // namespace

std::variant<PaqueteAPublicar, std::string> leerPaqueteAPublicar(const std::string& paquete) {
  PropiedadesLinux propiedades;
  std::optional<Diccionario> info = leerInfoDePaquete(propiedades, paquete);
  if (!info)
    return paquete + " is not an application bundle: it has no readable Contents/Info.plist";
  const Identidad id = Identidad::de(*info);
  PaqueteAPublicar p{paquete, id.identificador, id.fichero, id.nombre,
                     ReglasDeActualizacion::entero(buscar(*info, "CFBundleVersion")).value_or(0)};
  std::error_code e;
  if (p.identificador.empty()) return paquete + "/Contents/Info.plist has no CFBundleIdentifier";
  if (p.fichero.empty()) return paquete + "/Contents/Info.plist has no CFBundleName";
  if (p.build < 1)
    return paquete +
           "/Contents/Info.plist has no CFBundleVersion that is a whole number of "
           "at least 1";
  if (!fs::is_directory(fs::path(paquete) / "Contents/MacOS", e))
    return paquete + " has no Contents/MacOS folder";
  const std::string carpeta = laCarpeta(paquete).filename().string();
  if (carpeta != id.app())
    return "the bundle folder is named " + carpeta + ", but the updater looks for " + id.app() +
           " (its display name): rename it";
  if (!fs::is_regular_file(fs::path(paquete) / "Contents/_CodeSignature/CodeSignature", e))
    return paquete + " is not signed: sign and notarise it with firmar first";
  return p;
}

Problema archivarPaquete(const std::string& paquete, const std::string& zip, Archivado* archivado,
                         const std::optional<std::string>& desde) {
  Archivado cuenta;
  Archivo a(archive_write_new(), archive_write_free);
  if (!a || archive_write_set_format_zip(a.get()) != ARCHIVE_OK ||
      archive_write_zip_set_compression_deflate(a.get()) != ARCHIVE_OK)
    return std::string("libarchive cannot write zip archives");
  if (archive_write_open_filename(a.get(), zip.c_str()) != ARCHIVE_OK)
    return errorDe(a.get(), "cannot write " + zip);
  const fs::path carpeta = laCarpeta(paquete);
  Problema p = sinExcepciones([&] {
    Escritor escritor{a.get(), cuenta};
    if (desde) escritor.desde = laCarpeta(*desde);
    return escritor.escribir(carpeta, carpeta.filename().string());
  });
  if (!p && archive_write_close(a.get()) != ARCHIVE_OK) p = errorDe(a.get(), "cannot write " + zip);
  if (p) {
    a.reset();
    std::error_code e;
    fs::remove(zip, e);
    return p;
  }
  if (archivado) *archivado = cuenta;
  return std::nullopt;
}

Problema comprobarIdaYVuelta(const std::string& zip, const std::string& app,
                             const std::string& identificador, std::string_view raizPem,
                             const std::optional<std::string>& desde) {
  std::string plantilla = (fs::temp_directory_path() / "publicar-XXXXXX").string();
  if (!mkdtemp(plantilla.data())) return std::string("cannot make a temporary folder");
  const fs::path temporal = plantilla;
  struct Borrar {
    fs::path p;
    ~Borrar() {
      std::error_code e;
      fs::remove_all(p, e);
    }
  } borrar{temporal};
  if (std::optional<std::string> porque = Desempaquetador().desempaquetar(zip, temporal / "x"))
    return "the archive does not unpack as the updater unpacks it: " + *porque;
  if (desde) {
    // The older build stands in for the installed one.
    struct Instalada : PaquetePrincipal {
      std::string ruta_;
      std::optional<std::string> ruta() override { return ruta_; }
      std::optional<Diccionario> info() override { return std::nullopt; }
    } instalada;
    instalada.ruta_ = laCarpeta(*desde).string();
    ArchivosLinux archivos;
    FirmaDeCodigoLinux firma(raizPem);
    Plataforma p;
    p.paquete = &instalada, p.archivos = &archivos, p.firma = &firma;
    if (std::optional<Fallo> f =
            Actualizador::completarCandidato(p, (temporal / "x" / app).string()))
      return "the delta cannot be filled from " + *desde + " as the updater fills it (" +
             f->motivo + ")";
  }
  Plataforma sinServicios;  // the requirement for a given identifier reads no platform service
  const std::string requisito = ReglasDeActualizacion(sinServicios)
                                    .requisitoDeFirma(ReglasDeActualizacion::equipo, identificador);
  const Veredicto v = verificarPaquete(raizPem, requisito, (temporal / "x" / app).string());
  if (v.estado != 0)
    return "the archive's copy of " + app + " fails the updater's signature check (status " +
           std::to_string(v.estado) + "): " + v.porque;
  return std::nullopt;
}

std::variant<Huella, std::string> huellaDe(const std::string& archivo) {
  std::ifstream f(archivo, std::ios::binary);
  std::unique_ptr<ResumenSha256> r = CriptografiaLinux().sha256();
  if (!f || !r) return "cannot read " + archivo;
  Huella h;
  std::vector<char> trozo(1 << 20);
  while (f.read(trozo.data(), static_cast<std::streamsize>(trozo.size())) || f.gcount() > 0) {
    r->anadir(reinterpret_cast<const std::uint8_t*>(trozo.data()),
              static_cast<std::size_t>(f.gcount()));
    h.tamano += f.gcount();
  }
  if (f.bad()) return "cannot read " + archivo;
  h.sha256 = r->terminar();
  return h;
}

Problema firmarResumen(const std::string& clavePem, const std::array<std::uint8_t, 32>& resumen,
                       std::string& base64) {
  using Clave = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
  BIO* bio = BIO_new_mem_buf(clavePem.data(), static_cast<int>(clavePem.size()));
  // An empty pass phrase: an encrypted key fails instead of asking at the terminal.
  Clave clave(bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char*>("")) : nullptr,
              EVP_PKEY_free);
  BIO_free(bio);
  if (!clave) return std::string("it holds no unencrypted PEM private key");
  if (EVP_PKEY_get_id(clave.get()) != EVP_PKEY_ED25519)
    return std::string(
        "it is not an Ed25519 key (make one with: openssl genpkey -algorithm ed25519 -out "
        "KEY.pem)");
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char firma[64];
  std::size_t largo = sizeof firma;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, clave.get()) != 1 ||
      EVP_DigestSign(ctx.get(), firma, &largo, resumen.data(), resumen.size()) != 1)
    return std::string("OpenSSL could not sign with it");
  base64.assign(4 * ((largo + 2) / 3) + 1, '\0');
  base64.resize(static_cast<std::size_t>(EVP_EncodeBlock(
      reinterpret_cast<unsigned char*>(base64.data()), firma, static_cast<int>(largo))));
  return std::nullopt;
}

std::string comoJson(const Diccionario& d) {
  auto cadena = [](const std::string& s) {
    std::string r = "\"";
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        r += '\\';
        r += static_cast<char>(c);
      } else if (c < 0x20) {
        char b[8];
        std::snprintf(b, sizeof b, "\\u%04x", c);
        r += b;
      } else {
        r += static_cast<char>(c);
      }
    }
    return r + "\"";
  };
  std::string r = "{";
  for (const auto& [clave, valor] : d) {
    if (r.size() > 1) r += ", ";
    r += cadena(clave) + ": ";
    if (const std::string* t = valor.texto())
      r += cadena(*t);
    else if (const std::int64_t* n = valor.entero())
      r += std::to_string(*n);
    else
      r += "null";
  }
  return r + "}";
}

std::variant<Publicacion, std::string> publicar(const OpcionesDePublicacion& o,
                                                const Avance& avance) {
  auto decir = [&](const std::string& linea) {
    if (avance) avance(linea);
  };
  Publicacion pub;
  auto leido = leerPaqueteAPublicar(o.paquete);
  if (auto* porque = std::get_if<std::string>(&leido)) return *porque;
  pub.paquete = std::get<PaqueteAPublicar>(leido);
  const PaqueteAPublicar& paquete = pub.paquete;
  if (o.raiz.empty())
    return std::string(
        "this build trusts no signing authority, so nothing it could check would install: "
        "configure it with -DOVELMAR_RAIZ_DE_CONFIANZA=ROOT.pem, or pass --raiz ROOT.pem");

  std::error_code e;
  fs::create_directories(o.carpeta, e);
  if (e || access(o.carpeta.c_str(), W_OK) != 0)
    return "cannot write to the folder " + o.carpeta + (e ? ": " + e.message() : "");
  std::optional<PaqueteAPublicar> anterior;
  if (o.desde) {
    auto viejo = leerPaqueteAPublicar(*o.desde);
    if (auto* porque = std::get_if<std::string>(&viejo)) return "the older build: " + *porque;
    anterior = std::get<PaqueteAPublicar>(viejo);
    if (anterior->identificador != paquete.identificador || anterior->build >= paquete.build)
      return "a delta goes from an older build of the same application: " + *o.desde +
             " is build " + std::to_string(anterior->build) + " of " + anterior->identificador;
  }
  std::string base = paquete.fichero + "-" + std::to_string(paquete.build);
  if (anterior) base += "-desde-" + std::to_string(anterior->build);
  pub.zip = (fs::path(o.carpeta) / (base + ".zip")).string();
  pub.rutaPlist = (fs::path(o.carpeta) / (base + ".plist")).string();
  pub.rutaJson = (fs::path(o.carpeta) / (base + ".json")).string();

  decir("zipping " + o.paquete + " into " + pub.zip);
  if (Problema p = archivarPaquete(o.paquete, pub.zip, &pub.archivado, o.desde)) return *p;
  // From here on a refused archive is removed, so that nobody serves it by mistake.
  auto quitar = [&](const std::string& porque) {
    fs::remove(pub.zip, e);
    return porque;
  };
  decir("unpacking it again as the updater does and checking its signature");
  if (Problema p = comprobarIdaYVuelta(pub.zip, paquete.nombre + ".app", paquete.identificador,
                                       o.raiz, o.desde))
    return quitar(*p);
  auto huella = huellaDe(pub.zip);
  if (auto* porque = std::get_if<std::string>(&huella)) return quitar(*porque);
  const Huella& h = std::get<Huella>(huella);
  if (h.tamano > ReglasDeActualizacion::tamanoMaximo)
    return quitar("the archive is " + std::to_string(h.tamano) +
                  " bytes; the updater accepts at most " +
                  std::to_string(ReglasDeActualizacion::tamanoMaximo));

  std::string url = o.urlBase;
  while (!url.empty() && url.back() == '/') url.pop_back();
  url += "/" + segmentoDeUrl(base + ".zip");
  pub.pedido = {{"url", url},
                {"sha256", ReglasDeActualizacion::hex(h.sha256)},
                {"build", paquete.build},
                {"tamano", h.tamano}};
  if (anterior) pub.pedido["base"] = anterior->build;
  // The component's own reading of the request: what it refuses, no feed should carry.
  UrlsLinux urls;
  Plataforma conUrls;
  conUrls.urls = &urls;
  if (!ReglasDeActualizacion(conUrls).leerPedido(pub.pedido))
    return quitar("the updater would refuse the request for " + url +
                  ": the base URL must begin with https:// and name a host");
  if (o.claveEd25519) {
    std::string firma;
    if (Problema p = firmarResumen(*o.claveEd25519, h.sha256, firma))
      return quitar("cannot sign with the Ed25519 key: " + *p);
    pub.pedido["firmaDelArchivo"] = firma;
  }
  pub.plist = PropiedadesLinux().escribirXml(pub.pedido);
  pub.json = comoJson(pub.pedido) + "\n";
  for (const auto& [ruta, texto] : {std::pair{pub.rutaPlist, pub.plist}, {pub.rutaJson, pub.json}})
    if (Problema p = escribirTexto(ruta, texto)) return quitar(*p);
  return pub;
}

}  // namespace ovelmar
