#!/usr/bin/env bash
# Builds and runs every test: the normal build, the sanitizer build, the tests that use
# threads under the thread sanitizer, and a bounded run of each fuzz target. The GUI tests
# get a virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."

segundos_de_fuzz="${OVELMAR_SEGUNDOS_DE_FUZZ:-30}"
registro=$(mktemp)
trap 'rm -f "$registro"' EXIT

for preset in default asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  xvfb-run -a -s "-screen 0 1280x800x24" ctest --preset "$preset" -j2 | tee -a "$registro"
done

# Only the program of the tests labelled hilos: the preset builds that target and runs
# that label.
echo "== tsan"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -j2 | tee -a "$registro"

echo "== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz.sh "$segundos_de_fuzz"

# One closing line for every test run (ctest stops the script above on any failure).
total=$(sed -nE 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\2 \1/p' "$registro" |
  awk '{t += $1; f += $2} END {print t - f, f}')
echo "pruebas: ${total% *} passed, ${total#* } failed"
