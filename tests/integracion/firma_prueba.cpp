// Code signatures on real bundles, signed by a throw-away authority.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>

#include "Plataforma/linux/FirmaDeCodigoLinux.hpp"
#include "Plataforma/linux/ManifiestoDeFirma.hpp"
#include "comun/AutoridadDePrueba.hpp"
#include "comun/CarpetaTemporal.hpp"

namespace ovelmar {
namespace {

namespace fs = std::filesystem;
using pruebas::AutoridadDePrueba;
using pruebas::CarpetaTemporal;
using pruebas::escribirArchivo;
using Variante = AutoridadDePrueba::Variante;
using F = FirmaDeCodigo;

const char* const kEquipo = "QZ7K4WM2XD";
const std::string kRequisito =
    "anchor apple generic and identifier \"com.ej.Foo\" and certificate "
    "1[field.1.2.840.113635.100.6.2.6] exists and certificate "
    "leaf[field.1.2.840.113635.100.6.1.13] exists and certificate leaf[subject.OU] = "
    "\"QZ7K4WM2XD\" and notarized";

const AutoridadDePrueba& autoridad() {
  return AutoridadDePrueba::compartida();
}

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

void firmarCon(const fs::path& app, Variante v, const char* equipo = kEquipo) {
  ASSERT_EQ(firmarPaquete(app.string(), autoridad().desarrollador(equipo, v)), std::nullopt);
  ASSERT_EQ(notarizarPaquete(app.string(), autoridad().notario()), std::nullopt);
}

struct Caso {
  const char* nombre;
  std::function<void(const fs::path&)> alterar;
  std::int32_t estado;
  const char* dice = "";  // part of the description
  std::string requisito = kRequisito;
  bool sinRaiz = false;
  std::uint32_t banderas = 0x19;
};

TEST(FirmaDeCodigo, UnPaqueteFirmadoYNotarizadoPasaYCadaFaltaSeRechazaConSuEstado) {
  CarpetaTemporal t;
  const fs::path base = t.ruta() / "Base.app";
  crearFoo(base);
  ASSERT_EQ(autoridad().firmarYNotarizar(base, kEquipo), "");
  const Caso casos[] = {
      {"valid", [](auto&) {}, 0},
      {"one byte changed", [](auto& a) { escribirArchivo(a / "Contents/Resources/a.txt", "b"); },
       F::errSecCSBadResource, "Contents/Resources/a.txt was modified"},
      {"file added", [](auto& a) { escribirArchivo(a / "Contents/x", ""); }, F::errSecCSBadResource,
       "Contents/x was added"},
      {"file removed", [](auto& a) { fs::remove(a / "Contents/Resources/a.txt"); },
       F::errSecCSBadResource, "a.txt is missing"},
      {"mode changed",
       [](auto& a) { fs::permissions(a / "Contents/Resources/a.txt", fs::perms::owner_all); },
       F::errSecCSBadResource, "a.txt has mode 0700, sealed"},
      {"link retargeted",
       [](auto& a) {
         fs::remove(a / "Contents/Resources/enlace");
         fs::create_symlink("../Info.plist", a / "Contents/Resources/enlace");
       },
       F::errSecCSBadResource, "enlace points elsewhere"},
      {"signed link leading outside",
       [](auto& a) {
         std::string m = pruebas::leerArchivo(sello(a, "CodeResources"));
         m.replace(m.find("<string>a.txt</string>"), 22, "<string>../../../x</string>");
         escribirArchivo(sello(a, "CodeResources"), m);
         ASSERT_EQ(firmarSello(a.string(), autoridad().desarrollador(kEquipo)), std::nullopt);
       },
       F::errSecCSResourcesInvalid, "leads outside the bundle"},
      {"another team", [](auto& a) { firmarCon(a, Variante::buena, "OTRO"); }, F::errSecCSReqFailed,
       "organisational unit \"OTRO\""},
      {"leaf extension missing", [](auto& a) { firmarCon(a, Variante::sinExtensionDeHoja); },
       F::errSecCSReqFailed, "leaf[field.1.2.840.113635.100.6.1.13] exists"},
      {"chain to another root", [](auto& a) { firmarCon(a, Variante::otraRaiz); },
       F::errSecCSSignatureNotVerifiable, "unable to get local issuer certificate"},
      {"expired leaf", [](auto& a) { firmarCon(a, Variante::caducada); },
       F::errSecCSSignatureNotVerifiable, "certificate has expired"},
      {"no ticket", [](auto& a) { fs::remove(sello(a, "NotarizationTicket")); },
       F::errSecCSReqFailed, "no notarisation ticket"},
      {"ticket for other contents",
       [&](auto& a) {
         escribirArchivo(a / "Contents/Resources/a.txt", "otra");
         firmarCon(a, Variante::buena);
         fs::copy_file(sello(base, "NotarizationTicket"), sello(a, "NotarizationTicket"),
                       fs::copy_options::overwrite_existing);
       },
       F::errSecCSReqFailed, "does not cover this CodeResources"},
      {"ticket signed by the developer",
       [](auto& a) {
         ASSERT_EQ(notarizarPaquete(a.string(), autoridad().desarrollador(kEquipo)), std::nullopt);
       },
       F::errSecCSReqFailed, "is not signed by a notary"},
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
      // Without strict validation an added file is let be; without nested code, the
      // nested bundle's own files are.
      {"added, not strict", [](auto& a) { escribirArchivo(a / "Contents/x", ""); }, 0, "",
       kRequisito, false, 0x8},
      {"nested altered, not checked",
       [](auto& a) {
         escribirArchivo(a / "Contents/Frameworks/Bar.framework/Contents/Resources/b.txt", "c");
       },
       0, "", kRequisito, false, 0x10},
      {"unknown flag", [](auto&) {}, F::errSecCSInvalidFlags, "unknown flags", kRequisito, false,
       0x19 | 0x2},
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
    if (estado == 0) estado = firma.comprobarValidez(*codigo, c.banderas, requisito.get(), error);
    EXPECT_EQ(estado, c.estado) << error.value_or("");
    if (c.estado == 0 || !requisito) continue;
    ASSERT_TRUE(error);
    EXPECT_NE(error->find(c.dice), std::string::npos) << *error;
    EXPECT_EQ(error->find('\n'), std::string::npos) << *error;
  }
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
  const std::string crudos[] = {
      "",
      "bplist00",
      pruebas::binarioDe(xml),
      "<?xml?><plist>" + std::string(100, 'x'),
      "<?xml?>" + std::string(20, '<') + "a>",
      "<?xml?><plist><array><array><array><array><array><array><array></array></array></array>"
      "</array></array></array></array></plist>",
      xml.substr(0, xml.size() / 2),
      xml.replace(xml.find("<integer>1<"), 11, "<integer>2<")};
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

}  // namespace
}  // namespace ovelmar
