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
  registro=$(mktemp)
  if ! "$objetivo" -max_total_time="$segundos" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$corpus/" "$corpus" >"$registro" 2>&1; then
    tail -n 60 "$registro"
    echo "$nombre failed"
    exit 1
  fi
  grep -E '^(Done|stat::(number_of_executed_units|peak_rss_mb))' "$registro" || true
  rm -rf "$corpus" "$registro"
done
