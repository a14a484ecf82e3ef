// Every test process runs with a home, configuration, cache and data folder of its own,
// so that nothing reads or writes the real user's files.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

// GTK's font library and D-Bus keep caches for the life of the process, which the leak
// checker of the sanitizer build reports; ours are still checked.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A death test's child runs this program again and never returns here: it keeps the home
  // its parent made, which the parent removes.
  if (std::getenv("OVELMAR_CASA_DE_PRUEBA")) return RUN_ALL_TESTS();
  std::string plantilla = (std::filesystem::temp_directory_path() / "ovelmar-casa-XXXXXX").string();
  if (!mkdtemp(plantilla.data())) return 1;
  const std::filesystem::path casa(plantilla);
  setenv("HOME", casa.c_str(), 1);
  setenv("OVELMAR_CASA_DE_PRUEBA", casa.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (casa / ".config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (casa / ".cache").c_str(), 1);
  setenv("XDG_DATA_HOME", (casa / ".local/share").c_str(), 1);
  unsetenv("KESTRAVON_DESTINO");
  int resultado = RUN_ALL_TESTS();
  std::error_code e;
  std::filesystem::remove_all(casa, e);
  return resultado;
}
