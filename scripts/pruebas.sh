#!/usr/bin/env bash
# Builds and runs every test: the normal build, the sanitizer build and a bounded run of
# each fuzz target. The GUI tests get a virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."

segundos_de_fuzz="${OVELMAR_SEGUNDOS_DE_FUZZ:-60}"

for preset in default asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  xvfb-run -a -s "-screen 0 1280x800x24" ctest --preset "$preset" -j2
done

echo "== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz.sh "$segundos_de_fuzz"
