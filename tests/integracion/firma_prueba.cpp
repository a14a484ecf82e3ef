// Code signatures on real bundles, signed by a throw-away authority; and the archive's
// Ed25519 signature over real files, with keys and signatures made by the openssl command
// as a maker makes them.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>

#include "Ovelmar/Actualizador.hpp"
#include "Plataforma/linux/FirmaDeCodigoLinux.hpp"
#include "Plataforma/linux/ManifiestoDeFirma.hpp"
#include "Plataforma/linux/PlataformaLinux.hpp"
#include "comun/AutoridadDePrueba.hpp"
#include "comun/CarpetaTemporal.hpp"
#include "comun/Dobles.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using pruebas::autoridad;
using pruebas::AutoridadDePrueba;
using pruebas::CarpetaTemporal;
using pruebas::ejecutarOrden;
using pruebas::escribirArchivo;
using pruebas::kEquipo;
using Variante = AutoridadDePrueba::Variante;
using F = FirmaDeCodigo;

const std::string kRequisito =
    "anchor apple generic and identifier \"com.ej.Foo\" and certificate "
    "1[field.1.2.840.113635.100.6.2.6] exists and certificate "
    "leaf[field.1.2.840.113635.100.6.1.13] exists and certificate leaf[subject.OU] = "
    "\"QZ7K4WM2XD\" and notarized";

// Foo.app with a program, a resource, a link to it and a nested Bar.framework.
void crearFoo(const fs::path& app) {
  pruebas::crearPaquete(app, pruebas::infoPlist({{"CFBundleIdentifier", "com.ej.Foo"}}));
  escribirArchivo(app / "Contents/MacOS/Foo", "#!/bin/sh\n");
  fs::permissions(app / "Contents/MacOS/Foo", fs::perms::owner_exec, fs::perm_options::add);
  escribirArchivo(app / "Contents/Resources/a.txt", "a");
  fs::create_symlink("a.txt", app / "Contents/Resources/enlace");
  const fs::path bar = app / "Contents/Frameworks/Bar.framework";
  pruebas::crearPaquete(bar, pruebas::infoPlist({{"CFBundleIdentifier", "com.ej.Bar"}}));
  escribirArchivo(bar / "Contents/Resources/b.txt", "b");
}

std::string sello(const fs::path& app, const std::string& nombre) {
  return (app / "Contents/_CodeSignature" / nombre).string();
}

void firmarCon(const fs::path& app, Variante v) {
  ASSERT_EQ(firmarPaquete(app.string(), autoridad().desarrollador(kEquipo, v)), std::nullopt);
  ASSERT_EQ(notarizarPaquete(app.string(), autoridad().notario()), std::nullopt);
}

struct Caso {
  const char* nombre;
  std::function<void(const fs::path&)> alterar;
  std::int32_t estado;
  const char* dice = "";  // part of the description
  std::string requisito = kRequisito;
  bool sinRaiz = false;
};

TEST(FirmaDeCodigo, UnPaqueteFirmadoYNotarizadoPasaYCadaFaltaSeRechazaConSuEstado) {
  CarpetaTemporal t;
  const fs::path base = t.ruta() / "Base.app";
  crearFoo(base);
  ASSERT_EQ(autoridad().firmarYNotarizar(base, kEquipo), "");
  // Every status the check answers with. Changes the fault campaign's archives make (a mode,
  // a link, another team, no developer extension, an expired leaf, no ticket, a developer's
  // ticket) are refused there.
  const Caso casos[] = {
      {"valid", [](auto&) {}, 0},
      {"one byte changed", [](auto& a) { escribirArchivo(a / "Contents/Resources/a.txt", "b"); },
       F::errSecCSBadResource, "Contents/Resources/a.txt was modified"},
      {"file removed", [](auto& a) { fs::remove(a / "Contents/Resources/a.txt"); },
       F::errSecCSBadResource, "a.txt is missing"},
      {"signed link leading outside",
       [](auto& a) {
         std::string m = pruebas::leerArchivo(sello(a, "CodeResources"));
         m.replace(m.find("<string>a.txt</string>"), 22, "<string>../../../x</string>");
         escribirArchivo(sello(a, "CodeResources"), m);
         ASSERT_EQ(firmarSello(a.string(), autoridad().desarrollador(kEquipo)), std::nullopt);
       },
       F::errSecCSResourcesInvalid, "leads outside the bundle"},
      {"chain to another root", [](auto& a) { firmarCon(a, Variante::otraRaiz); },
       F::errSecCSSignatureNotVerifiable, "unable to get local issuer certificate"},
      {"ticket for other contents",
       [&](auto& a) {
         escribirArchivo(a / "Contents/Resources/a.txt", "otra");
         firmarCon(a, Variante::buena);
         fs::copy_file(sello(base, "NotarizationTicket"), sello(a, "NotarizationTicket"),
                       fs::copy_options::overwrite_existing);
       },
       F::errSecCSReqFailed, "does not cover this CodeResources"},
      {"nested bundle altered",
       [](auto& a) {
         escribirArchivo(a / "Contents/Frameworks/Bar.framework/Contents/Resources/b.txt", "c");
       },
       F::errSecCSBadResource, "nested code Contents/Frameworks/Bar.framework: a sealed"},
      {"nested bundle unsigned",
       [](auto& a) { fs::remove(sello(a / "Contents/Frameworks/Bar.framework", "CodeSignature")); },
       F::errSecCSUnsignedNestedCode, "nested code"},
      {"another identifier", [](auto&) {}, F::errSecCSReqFailed, "identifier is \"com.ej.Foo\"",
       "identifier \"com.ej.Otra\""},
      {"quote inside the identifier", [](auto&) {}, F::errSecCSReqInvalid, "",
       "identifier \"com.ej.\"Foo\" and notarized"},
      {"root lacks the extension", [](auto&) {}, F::errSecCSReqFailed, "has no such extension",
       "certificate root[field.1.2.840.113635.100.6.2.6] exists"},
      {"chain too short", [](auto&) {}, F::errSecCSReqFailed, "the chain has 3 certificates",
       "certificate 3[subject.OU] = \"x\""},
      {"unsigned", [](auto& a) { fs::remove_all(a / "Contents/_CodeSignature"); },
       F::errSecCSUnsigned, "not signed at all"},
      {"seal missing", [](auto& a) { fs::remove(sello(a, "CodeResources")); },
       F::errSecCSResourcesNotFound, "CodeResources is missing"},
      {"signature garbage", [](auto& a) { escribirArchivo(sello(a, "CodeSignature"), "0\x82"); },
       F::errSecCSSignatureInvalid, "not a DER CMS"},
      {"signature of another seal",
       [&](auto& a) {
         fs::copy_file(sello(a / "Contents/Frameworks/Bar.framework", "CodeSignature"),
                       sello(a, "CodeSignature"), fs::copy_options::overwrite_existing);
       },
       F::errSecCSSignatureFailed, "does not sign this CodeResources"},
      {"stray file in the signature folder", [](auto& a) { escribirArchivo(sello(a, "Otro"), ""); },
       F::errSecCSBadResource, "_CodeSignature/Otro is not part of a signature"},
      {"no trust root", [](auto&) {}, F::errSecCSSignatureNotVerifiable, "trusts no signing",
       kRequisito, true},
  };
  int n = 0;
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    const fs::path app = t.ruta() / (std::to_string(n++) + ".app");
    fs::copy(base, app, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    c.alterar(app);
    FirmaDeCodigoLinux firma(c.sinRaiz ? "" : autoridad().raiz());
    std::unique_ptr<CodigoEstatico> codigo;
    std::unique_ptr<RequisitoDeCodigo> requisito;
    std::optional<std::string> error;
    ASSERT_EQ(firma.crearCodigoEstatico(app.string(), 0, codigo), 0);
    std::int32_t estado = firma.crearRequisito(c.requisito, 0, requisito);
    if (estado == 0) estado = firma.comprobarValidez(*codigo, 0x19, requisito.get(), error);
    EXPECT_EQ(estado, c.estado) << error.value_or("");
    if (c.estado == 0 || !requisito) continue;
    ASSERT_TRUE(error);
    EXPECT_NE(error->find(c.dice), std::string::npos) << *error;
    EXPECT_EQ(error->find('\n'), std::string::npos) << *error;
  }
  // No bundle there, or only a link to one: nothing to check.
  fs::create_directory_symlink(base, t.ruta() / "Enlace.app");
  std::unique_ptr<CodigoEstatico> codigo;
  for (const char* ruta : {"Enlace.app", "No.app"})
    EXPECT_EQ(FirmaDeCodigoLinux(autoridad().raiz()).crearCodigoEstatico(t / ruta, 0, codigo),
              F::errSecCSStaticCodeNotFound)
        << ruta;
}

TEST(FirmaDeCodigo, ElCompiladorDeRequisitosNoAceptaNadaPorDefecto) {
  const std::pair<std::string, std::int32_t> casos[] = {
      {kRequisito, 0},
      {"certificate 2[field.1.2] exists and certificate root[subject.OU] = \"\"", 0},
      {"", F::errSecCSReqInvalid},
      {"identifier \"a", F::errSecCSReqInvalid},
      {"identifier \"a\" notarized", F::errSecCSReqInvalid},
      {"notarized and", F::errSecCSReqInvalid},
      {"anchor apple", F::errSecCSReqInvalid},
      {"identifier \"a\\\"b\"", F::errSecCSReqInvalid},
      {"info[CFBundleVersion] = \"1\"", F::errSecCSReqInvalid},
      {"certificate leaf[subject.CN] = \"x\"", F::errSecCSReqInvalid},
      {"certificate 1[field.1..2] exists", F::errSecCSReqInvalid},
      {"certificate 1[field.3.1] exists", F::errSecCSReqInvalid},
      {"certificate 1[field.1.2] exist", F::errSecCSReqInvalid},
      {"certificate 17[field.1.2] exists", F::errSecCSReqInvalid},
      {"certificate leaf[field.1.2 exists", F::errSecCSReqInvalid},
      {std::string("notarized\0", 10), F::errSecCSReqInvalid},
      {"notarized" + std::string(40, ' ') + "and notarized", 0},
      {[] {
         std::string t = "notarized";
         for (int i = 0; i < 32; ++i) t += " and notarized";
         return t;
       }(),
       F::errSecCSReqInvalid},
      {"notarized or anchor apple generic", F::errSecCSReqUnsupported},
      {"(notarized)", F::errSecCSReqUnsupported},
      {"! notarized", F::errSecCSReqUnsupported},
  };
  FirmaDeCodigoLinux firma("");
  for (const auto& [texto, estado] : casos) {
    std::unique_ptr<RequisitoDeCodigo> r;
    EXPECT_EQ(firma.crearRequisito(texto, 0, r), estado) << texto;
    EXPECT_EQ(r != nullptr, estado == 0) << texto;
  }
  std::unique_ptr<RequisitoDeCodigo> r;
  EXPECT_EQ(firma.crearRequisito("notarized", 1, r), F::errSecCSInvalidFlags);
}

TEST(FirmaDeCodigo, ElSelloRechazaRutasYEnlacesQueSalenDelPaquete) {
  Manifiesto bueno;
  bueno.identificador = "com.ej.Foo";
  bueno.carpetas = {"Contents", "Contents/Resources"};
  bueno.archivos["Contents/Resources/a"] = ArchivoSellado{{}, 0644};
  bueno.enlaces["Contents/enlace"] = "Resources/a";
  bueno.anidados["Contents/Bar.framework"] = Sha256{};
  using Cambio = std::function<void(Manifiesto&)>;
  const std::pair<const char*, Cambio> casos[] = {
      // Accepted: as it is, a link through a link, a link into a nested bundle.
      {"", [](Manifiesto&) {}},
      {"", [](Manifiesto& m) { m.enlaces["Contents/b"] = "enlace"; }},
      {"", [](Manifiesto& m) { m.enlaces["Contents/b"] = "Bar.framework/Contents/x"; }},
      {"is not a plain path", [](Manifiesto& m) { m.archivos["Contents/../x"]; }},
      {"is not a plain path", [](Manifiesto& m) { m.archivos["/etc/passwd"]; }},
      {"is not a plain path", [](Manifiesto& m) { m.archivos["Contents//x"]; }},
      {"is not a plain path", [](Manifiesto& m) { m.archivos["Contents/_CodeSignature/x"]; }},
      {"is not a plain path", [](Manifiesto& m) { m.carpetas.insert("Contents/a\nb"); }},
      {"lies in a folder", [](Manifiesto& m) { m.archivos["Contents/enlace/x"]; }},
      {"lies in a folder", [](Manifiesto& m) { m.archivos["Otra/x"]; }},
      {"is named twice", [](Manifiesto& m) { m.carpetas.insert("Contents/enlace"); }},
      {"leads outside", [](Manifiesto& m) { m.enlaces["Contents/b"] = "../../x"; }},
      {"leads outside", [](Manifiesto& m) { m.enlaces["Contents/b"] = "/etc"; }},
      {"leads outside", [](Manifiesto& m) { m.enlaces["Contents/b"] = "nada"; }},
      {"leads outside", [](Manifiesto& m) { m.enlaces["Contents/b"] = "Resources/a/x"; }},
      {"leads outside", [](Manifiesto& m) { m.enlaces["Contents/b"] = "Bar.framework/../../.."; }},
      {"leads outside",
       [](Manifiesto& m) {
         m.enlaces["Contents/b"] = "c";
         m.enlaces["Contents/c"] = "b";
       }},
      {"not a file with", [](Manifiesto& m) { m.archivos["Contents/a"].modo = 010000; }},
      {"identifier", [](Manifiesto& m) { m.identificador.clear(); }},
      {"Contents folder", [](Manifiesto& m) { m.carpetas = {}; }},
  };
  for (const auto& [falla, cambio] : casos) {
    Manifiesto m = bueno;
    cambio(m);
    std::string error;
    EXPECT_EQ(leerManifiesto(escribirManifiesto(m), error).has_value(), *falla == '\0') << falla;
    EXPECT_NE(error.find(falla), std::string::npos) << error;
  }
  std::string xml = escribirManifiesto(bueno), error;
  // Beyond what libplist refuses (Propiedades_prueba): the binary form, depth, the version.
  const std::string crudos[] = {
      pruebas::binarioDe(xml),
      "<?xml?><plist><array><array><array><array><array><array><array></array></array></array>"
      "</array></array></array></array></plist>",
      xml.substr(0, xml.size() / 2), xml.replace(xml.find("<integer>1<"), 11, "<integer>2<")};
  for (const std::string& c : crudos) EXPECT_FALSE(leerManifiesto(c, error)) << c;
}

TEST(Firmar, FirmaNotarizaYVerificaComoElComponente) {
  CarpetaTemporal t;
  const fs::path app = t.ruta() / "Foo.app";
  crearFoo(app);
  const Credencial d = autoridad().desarrollador(kEquipo);
  escribirArchivo(t.ruta() / "d.key", d.clave);
  escribirArchivo(t.ruta() / "d.pem", d.cadena);
  escribirArchivo(t.ruta() / "n.key", autoridad().notario().clave);
  escribirArchivo(t.ruta() / "n.pem", autoridad().notario().cadena);
  escribirArchivo(t.ruta() / "raiz.pem", autoridad().raiz());
  const std::string firmar = std::string(OVELMAR_ARBOL) + "/herramientas/firmar";
  auto correr = [&](const std::string& argumentos) {
    return pruebas::ejecutarOrden("cd " + t.ruta().string() + " && " + firmar + " " + argumentos +
                                  " 2>&1");
  };
  const std::string verificar =
      "verificar --raiz raiz.pem --requisito '" + kRequisito + "' Foo.app";
  EXPECT_EQ(correr("firmar --clave d.key --cadena d.pem Foo.app").estado, 0);
  EXPECT_EQ(correr("notarizar --clave n.key --cadena n.pem Foo.app").estado, 0);
  auto r = correr(verificar);
  EXPECT_EQ(r.estado, 0);
  EXPECT_EQ(r.texto.rfind("estado 0\n", 0), 0u) << r.texto;
  escribirArchivo(app / "Contents/Resources/a.txt", "b");
  r = correr(verificar);
  EXPECT_NE(r.estado, 0);
  EXPECT_EQ(r.texto.rfind("estado -67054\na sealed resource", 0), 0u) << r.texto;
  // A developer's certificate is no notary's; a wrong command line is a usage error.
  EXPECT_NE(correr("notarizar --clave d.key --cadena d.pem Foo.app").estado, 0);
  EXPECT_EQ(WEXITSTATUS(correr("firmar --clave d.key Foo.app").estado), 2);
}

TEST(FirmaDelArchivo, ConClaveSeExigeYSeDecideAntesDeDesempaquetar) {
  CarpetaTemporal t;
  auto orden = [&](const std::string& o) {
    return ejecutarOrden("cd '" + t.ruta().string() + "' && " + o + " 2>&1").texto;
  };
  orden(
      "for k in k otra; do openssl genpkey -algorithm ed25519 -out $k; done; echo x > x; "
      "zip -q a.zip x; openssl dgst -sha256 -binary a.zip > d; sha256sum a.zip | head -c64 > h; "
      "openssl dgst -sha256 -binary x > e");
  const std::string clave =
      orden("openssl pkey -in k -pubout -outform DER | tail -c32 | base64 -w0");
  auto firma = [&](const std::string& mensaje, const std::string& k = "k") {
    return orden("openssl pkeyutl -sign -rawin -inkey " + k + " -in " + mensaje + " | base64 -w0");
  };
  std::string torcida = firma("d");
  torcida[10] = '-';
  const char *falta = "el pedido no trae firmaDelArchivo",
             *mala = "firmaDelArchivo no es una firma Ed25519 en base64",
             *otra = "firmaDelArchivo no firma este archivo con esta clave";
  // What, the Info.plist's key, the request's signature, why refused (nullptr: it is not).
  const std::tuple<const char*, std::optional<std::string>, std::optional<std::string>, const char*>
      casos[] = {{"signed", clave, firma("d"), nullptr},
                 {"no key: not even read", {}, "x", nullptr},
                 {"no signature", clave, {}, falta},
                 {"another archive", clave, firma("e"), otra},
                 {"another key", clave, firma("d", "otra"), otra},
                 {"its hex digest", clave, firma("h"), otra},
                 {"not base64", clave, torcida, mala},
                 {"key of 31 bytes", clave.substr(0, 40) + "AA==", firma("d"),
                  "OvelmarClavePublica no es una clave Ed25519 en base64"}};
  for (const auto& [caso, clavePublica, firmaDelArchivo, porque] : casos) {
    SCOPED_TRACE(caso);
    PlataformaLinux linux;
    Plataforma p = linux.plataforma();
    pruebas::PaqueteFijo paquete;
    pruebas::RegistroEnMemoria registro;
    paquete.infoFija = Diccionario{{"CFBundleIdentifier", "com.ej.Foo"}, {"CFBundleName", "Foo"}};
    if (clavePublica) (*paquete.infoFija)["OvelmarClavePublica"] = *clavePublica;
    p.paquete = &paquete, p.registro = &registro;
    ReglasDeActualizacion reglas(p);
    const std::string zip = t / "a.zip", dir = t / (std::string("c") + caso);
    const Pedido pedido{"", *Actualizador::sha256(p, zip), 9, 1, std::nullopt, firmaDelArchivo};
    // Past the check, the archive holds no Foo.app: "firma" too, and no line about it.
    EXPECT_EQ(std::get<Fallo>(Actualizador::comprobar(p, reglas, zip, pedido, dir, 1)).motivo,
              "firma");
    EXPECT_EQ(std::filesystem::exists(dir + "/Foo-9"), porque == nullptr);
    const std::string linea = "[actualización] firma del archivo rechazada: ";
    EXPECT_EQ(registro.lineas, porque ? std::vector{linea + porque} : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace ovelmar
