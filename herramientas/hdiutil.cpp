// hdiutil: the form of the macOS tool that the component runs,
//   hdiutil detach <volume> [-quiet] [-force]
// unmounts the volume through udisks where it is installed (and, for a disk image on a
// loop device, detaches the image too), else with umount. The exit status is that of
// the unmount.

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "Plataforma/linux/ProcesosLinux.hpp"

namespace {

bool silencio = false;

// The program's path in PATH, if it is there.
std::optional<std::string> enRuta(const std::string& programa) {
  const char* ruta = std::getenv("PATH");
  std::stringstream carpetas(ruta ? ruta : "/usr/bin:/bin");
  for (std::string carpeta; std::getline(carpetas, carpeta, ':');) {
    if (carpeta.empty()) continue;
    std::string completo = carpeta + "/" + programa;
    if (access(completo.c_str(), X_OK) == 0) return completo;
  }
  return std::nullopt;
}

// Runs the program (its output to the null device) and waits: its exit status, 1 when
// it cannot start.
int correr(const std::vector<std::string>& argv) {
  std::variant<int, ovelmar::Error> r = ovelmar::ProcesosLinux().ejecutar(
      argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()));
  if (const ovelmar::Error* e = std::get_if<ovelmar::Error>(&r)) {
    if (!silencio)
      std::fprintf(stderr, "hdiutil: %s: %s\n", argv[0].c_str(), e->descripcion.c_str());
    return 1;
  }
  return std::get<int>(r);
}

// /proc/self/mountinfo writes space, tab, newline and backslash as \ooo.
std::string sinEscapes(const std::string& t) {
  std::string r;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '\\' && i + 3 < t.size() && std::isdigit(static_cast<unsigned char>(t[i + 1]))) {
      r += static_cast<char>(std::strtol(t.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      r += t[i];
    }
  }
  return r;
}

// The device mounted at `volumen` (the last mount there wins), if any.
std::optional<std::string> dispositivoDe(const std::string& volumen) {
  std::ifstream f("/proc/self/mountinfo");
  std::optional<std::string> dispositivo;
  for (std::string linea; std::getline(f, linea);) {
    std::istringstream campos(linea);
    std::vector<std::string> c;
    for (std::string campo; campos >> campo;) c.push_back(campo);
    // id parent major:minor root mount-point options [optional...] - type source ...
    std::size_t guion = 6;
    while (guion < c.size() && c[guion] != "-") ++guion;
    if (c.size() < 5 || guion + 2 >= c.size()) continue;
    if (sinEscapes(c[4]) == volumen) dispositivo = sinEscapes(c[guion + 2]);
  }
  return dispositivo;
}

int desmontar(const std::string& volumenDado, bool forzar) {
  std::error_code e;
  std::string volumen = std::filesystem::weakly_canonical(volumenDado, e).string();
  if (e) volumen = volumenDado;
  while (volumen.size() > 1 && volumen.back() == '/') volumen.pop_back();

  std::optional<std::string> udisks = enRuta("udisksctl");
  std::optional<std::string> dispositivo = dispositivoDe(volumen);
  if (udisks && dispositivo && dispositivo->starts_with("/dev/")) {
    // The host is gone by now: nobody is there to answer an authentication request.
    std::vector<std::string> orden{*udisks, "unmount", "-b", *dispositivo, "--no-user-interaction"};
    if (forzar) orden.push_back("--force");
    if (correr(orden) == 0) {
      if (dispositivo->starts_with("/dev/loop"))
        correr({*udisks, "loop-delete", "-b", *dispositivo, "--no-user-interaction"});
      return 0;
    }
    // udisks may be installed but not running, or not manage this mount: try umount.
  }
  std::optional<std::string> umount = enRuta("umount");
  if (!umount) {
    if (!silencio) std::fprintf(stderr, "hdiutil: umount not found\n");
    return 1;
  }
  std::vector<std::string> orden{*umount};
  if (forzar) orden.push_back("-f");
  orden.push_back(volumen);
  return correr(orden);
}

int uso() {
  std::fprintf(stderr, "usage: hdiutil detach <volume> [-quiet] [-force]\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "detach") != 0) return uso();
  bool forzar = false;
  std::optional<std::string> volumen;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "-quiet") == 0)
      silencio = true;
    else if (std::strcmp(argv[i], "-force") == 0)
      forzar = true;
    else if (argv[i][0] == '-' || volumen)
      return uso();
    else
      volumen = argv[i];
  }
  if (!volumen || volumen->empty()) return uso();
  return desmontar(*volumen, forzar);
}
