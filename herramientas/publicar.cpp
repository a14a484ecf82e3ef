// publicar: the maker's publishing tool.
//   publicar --url-base URL [--clave-ed25519 KEY.pem] [--raiz ROOT.pem]
//            [--delta-desde OLDER_BUNDLE] BUNDLE FOLDER
// Zips a signed, notarised bundle into FOLDER as Name-build.zip, unpacks it again as the
// updater does and checks its signature against the trust root built into the component
// (or ROOT.pem), then writes and prints the update request for the maker's feed, as a
// property list and as JSON. With an Ed25519 key the request also carries the key's
// signature over the archive's SHA-256 ("firmaDelArchivo"). With an older signed build,
// it publishes a delta from that build instead (Name-build-desde-older.zip, "base").

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Ovelmar/ReglasDeActualizacion.hpp"
#include "Plataforma/linux/RaizDeConfianza.hpp"
#include "herramientas/Publicador.hpp"

namespace {

using namespace ovelmar;

int uso() {
  std::fprintf(stderr,
               "usage: publicar --url-base URL [--clave-ed25519 KEY.pem] [--raiz ROOT.pem] "
               "[--delta-desde OLDER_BUNDLE] BUNDLE OUTPUT_FOLDER\n");
  return 2;
}

int fallo(const std::string& porque) {
  std::fprintf(stderr, "publicar: %s\n", porque.c_str());
  return 1;
}

bool leer(const std::string& ruta, std::string& texto) {
  std::ifstream f(ruta, std::ios::binary);
  std::stringstream s;
  if (!f || (f.peek() != EOF && !(s << f.rdbuf()))) return false;
  texto = s.str();
  return true;
}

std::string sangrado(const std::string& texto) {
  std::string r = "    ";
  for (char c : texto) r += c == '\n' ? std::string("\n    ") : std::string(1, c);
  while (!r.empty() && r.back() == ' ') r.pop_back();
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> opciones;
  std::vector<std::string> resto;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--url-base" || a == "--clave-ed25519" || a == "--raiz" || a == "--delta-desde") {
      if (i + 1 >= argc || opciones.count(a.substr(2))) return uso();
      opciones[a.substr(2)] = argv[++i];
    } else if (a.rfind("--", 0) == 0) {
      return uso();
    } else {
      resto.push_back(a);
    }
  }
  if (resto.size() != 2 || !opciones.count("url-base")) return uso();

  OpcionesDePublicacion o{resto[0], resto[1], opciones["url-base"], std::nullopt,
                          std::string(raizDeConfianzaIncorporada())};
  if (opciones.count("delta-desde")) o.desde = opciones["delta-desde"];
  for (const auto& [opcion, que] : {std::pair<std::string, const char*>{"raiz", "trust root"},
                                    {"clave-ed25519", "Ed25519 key"}}) {
    if (!opciones.count(opcion)) continue;
    std::string texto;
    if (!leer(opciones[opcion], texto))
      return fallo("cannot read the " + std::string(que) + " " + opciones[opcion]);
    (opcion == "raiz" ? o.raiz : o.claveEd25519.emplace()) = texto;
  }

  std::printf("Publishing %s\n", o.paquete.c_str());
  auto r = publicar(o, [](const std::string& linea) {
    std::printf("  %s…\n", linea.c_str());
    std::fflush(stdout);
  });
  if (auto* porque = std::get_if<std::string>(&r)) return fallo(*porque);
  const Publicacion& p = std::get<Publicacion>(r);
  const Archivado& a = p.archivado;
  std::printf(
      "  %s, build %lld: %llu folders, %llu files and %llu links, %lld bytes zipped; the copy "
      "unpacked from the archive is signed by team %s, notarised and valid.\n",
      p.paquete.identificador.c_str(), static_cast<long long>(p.paquete.build),
      static_cast<unsigned long long>(a.carpetas), static_cast<unsigned long long>(a.archivos),
      static_cast<unsigned long long>(a.enlaces),
      static_cast<long long>(*p.pedido.at("tamano").entero()),
      std::string(ReglasDeActualizacion::equipo).c_str());
  if (o.desde)
    std::printf(
        "  A delta from build %lld (%s): it installs only over that build; send the whole "
        "archive to every other.\n",
        static_cast<long long>(*p.pedido.at("base").entero()), o.desde->c_str());
  if (o.claveEd25519)
    std::printf("  Signed the archive's SHA-256 with the Ed25519 key %s.\n",
                opciones["clave-ed25519"].c_str());
  std::printf(
      "\nThe update request, for your feed to hand to the host's actualizar: message,\n"
      "as a property list (written to %s):\n\n%s\n"
      "and as JSON (written to %s):\n\n%s\n"
      "Serve %s over HTTPS at\n  %s\n"
      "with any static server that answers range requests.\n",
      p.rutaPlist.c_str(), sangrado(p.plist).c_str(), p.rutaJson.c_str(), sangrado(p.json).c_str(),
      p.zip.c_str(), p.pedido.at("url").texto()->c_str());
  return 0;
}
