#pragma once
// What the update benchmarks share: a generated application, shell commands timed, and
// the updater on the real Linux platform taken from a request to "reabriendo".

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Plataforma/Valor.hpp"

namespace ovelmar::banco {

namespace fs = std::filesystem;
using Monotono = std::chrono::steady_clock;

// A new folder of the bench's own, made its home (nothing of the user's is read or written);
// empty when it cannot be made. Broken pipes are ignored from then on.
fs::path carpetaDelBanco(const std::string& nombre);
double segundosDesde(Monotono::time_point t);
// Seconds the shell line took; negative when it failed.
double orden(const std::string& linea);
std::string comillas(const fs::path& p);
double mediana(std::vector<double> v);

// A bundle of Foo (com.ej.Foo) with only its Info.plist and executable.
void escribirInfo(const fs::path& app, const std::string& build);
// Foo at `build`: files of 1 KiB to 2 MiB, most of them small, scaled to about `bytes`;
// one in four compresses (resources, text), the rest does not (images, code). Some links.
// Its size in bytes.
std::uint64_t generar(const fs::path& app, int archivos, std::uint64_t bytes,
                      const std::string& build);

// Installs a copy of `instalada` (a bare build 1 when empty) below `carpeta`, runs the
// updater with `pedido` against the server whose authority is the file `ca`, and answers
// the seconds from the request to the first state of each phase; empty when it did not
// reach "reabriendo". The swap script it starts is stopped unrun.
std::map<std::string, double> porElActualizador(const fs::path& carpeta, const std::string& raiz,
                                                const std::string& ca, const Diccionario& pedido,
                                                const fs::path& instalada = {});

}  // namespace ovelmar::banco
