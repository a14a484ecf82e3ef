#pragma once
// The property-list value: what crosses between the host, the bundle's Info.plist,
// user defaults and the component. Integers, reals and Booleans stay distinct kinds.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ovelmar {

class Valor;
using Lista = std::vector<Valor>;
using Diccionario = std::map<std::string, Valor, std::less<>>;

struct Datos {
  std::vector<std::uint8_t> bytes;
  bool operator==(const Datos&) const = default;
};

// Seconds since 1970-01-01 00:00 UTC.
struct Fecha {
  double segundos = 0;
  bool operator==(const Fecha&) const = default;
};

class Valor {
 public:
  using Contenido =
      std::variant<std::string, std::int64_t, double, bool, Datos, Fecha, Lista, Diccionario>;

  Valor() : contenido_(std::string()) {}
  Valor(std::string t) : contenido_(std::move(t)) {}
  Valor(const char* t) : contenido_(std::string(t)) {}
  Valor(std::int64_t n) : contenido_(n) {}
  Valor(int n) : contenido_(static_cast<std::int64_t>(n)) {}
  Valor(double r) : contenido_(r) {}
  Valor(bool b) : contenido_(b) {}
  Valor(Datos d) : contenido_(std::move(d)) {}
  Valor(Fecha f) : contenido_(f) {}
  Valor(Lista l) : contenido_(std::move(l)) {}
  Valor(Diccionario d) : contenido_(std::move(d)) {}

  const std::string* texto() const { return std::get_if<std::string>(&contenido_); }
  const std::int64_t* entero() const { return std::get_if<std::int64_t>(&contenido_); }
  const double* real() const { return std::get_if<double>(&contenido_); }
  const bool* booleano() const { return std::get_if<bool>(&contenido_); }
  const Datos* datos() const { return std::get_if<Datos>(&contenido_); }
  const Fecha* fecha() const { return std::get_if<Fecha>(&contenido_); }
  const Lista* lista() const { return std::get_if<Lista>(&contenido_); }
  const Diccionario* diccionario() const { return std::get_if<Diccionario>(&contenido_); }

  const Contenido& contenido() const { return contenido_; }
  bool operator==(const Valor& otro) const { return contenido_ == otro.contenido_; }

 private:
  Contenido contenido_;
};

// The value under `clave`, or null when the key is absent.
inline const Valor* buscar(const Diccionario& d, std::string_view clave) {
  auto it = d.find(clave);
  return it == d.end() ? nullptr : &it->second;
}

// The text under `clave`, or null when absent or of another kind.
inline const std::string* textoDe(const Diccionario& d, std::string_view clave) {
  const Valor* v = buscar(d, clave);
  return v ? v->texto() : nullptr;
}

// A pointer into a temporary dictionary would dangle at the end of the statement.
const Valor* buscar(Diccionario&&, std::string_view) = delete;
const std::string* textoDe(Diccionario&&, std::string_view) = delete;

}  // namespace ovelmar
