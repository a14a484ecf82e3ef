// open: the form of the macOS tool that the component's scripts run,
//   open [-n] <application bundle>
// starts Contents/MacOS/<CFBundleExecutable> of the bundle detached, in a session of its
// own; without -n an application already running from that bundle counts as opened.

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "Plataforma/linux/AplicacionesLinux.hpp"
#include "Plataforma/linux/ProcesosLinux.hpp"
#include "Plataforma/linux/PropiedadesLinux.hpp"

int main(int argc, char** argv) {
  bool nueva = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "-n") == 0) {
      nueva = true;
    } else if (std::strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    } else {
      std::fprintf(stderr, "open: unknown option %s\nusage: open [-n] application\n", argv[i]);
      return 1;
    }
  }
  if (argc - i != 1) {
    std::fprintf(stderr, "usage: open [-n] application\n");
    return 1;
  }
  ovelmar::PropiedadesLinux propiedades;
  ovelmar::ProcesosLinux procesos;
  ovelmar::AplicacionesLinux aplicaciones(propiedades, procesos);
  std::optional<ovelmar::Error> error;
  aplicaciones.abrir(argv[i], nueva, [&](std::optional<ovelmar::Error> e) { error = e; });
  if (error) {
    std::fprintf(stderr, "open: %s: %s\n", argv[i], error->descripcion.c_str());
    return 1;
  }
  return 0;
}
