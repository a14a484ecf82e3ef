#!/usr/bin/env bash
# Runs every fuzz target of build-fuzz for a bounded time, each from its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
segundos="${1:-60}"
shopt -s nullglob
objetivos=(build-fuzz/fuzz/fuzz_*)
[ ${#objetivos[@]} -gt 0 ] || { echo "no fuzz targets"; exit 0; }
for objetivo in "${objetivos[@]}"; do
  [ -x "$objetivo" ] || continue
  nombre=$(basename "$objetivo")
  corpus=$(mktemp -d)
  semillas="fuzz/semillas/${nombre#fuzz_}"
  [ -d "$semillas" ] && cp -r "$semillas"/. "$corpus"/
  echo "-- $nombre, ${segundos}s"
  "$objetivo" -max_total_time="$segundos" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$corpus" 2>&1 | tail -n 4
  rm -rf "$corpus"
done
