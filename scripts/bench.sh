#!/usr/bin/env bash
# Load benchmark of the MAP line table: builds natively, writes a large MAP
# file, measures the floor, TMapFile::Load and a full-scan miss, then the peak
# resident memory of quillfen-cli lookup on the same file.
#   scripts/bench.sh [SIZE_MB] [BUILD_DIR]      (defaults: 200, build/bench)
# Targets for 200 MB: load within 4x the floor, a full-scan miss over
# 10 million entries under 30 ms, peak RSS of the lookup at most 2x the file.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
size="${1:-200}"
build="${2:-build/bench}"
cd "$root"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target genmap bench_load quillfen-cli >/dev/null

map="/tmp/quillfen-bench-${size}mb.map"
if [ ! -f "$map" ]; then
  echo "writing $map"
  "$build/bin/genmap" "$map" "$size"
fi
bytes=$(stat -c %s "$map")

echo "=== load benchmark"
"$build/bin/bench_load" "$map" 5

echo "=== quillfen-cli lookup $map 0x00401000"
if [ -x /usr/bin/time ]; then
  /usr/bin/time -v "$build/bin/quillfen-cli" lookup "$map" 0x00401000 >/dev/null 2>"$build/bench-time.txt" || true
  rss_kb=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$build/bench-time.txt")
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$build/bench-time.txt")
  echo "wall clock: $wall"
else
  rss_kb=$("$build/bin/bench_load" --peak-rss "$build/bin/quillfen-cli" lookup "$map" 0x00401000 |
           awk '{for (i = 1; i <= NF; i++) if ($i == "MB") print int($(i - 1) * 1024)}')
fi
awk -v kb="$rss_kb" -v bytes="$bytes" 'BEGIN {
  printf "peak RSS %.1f MB for a %.1f MB file: %.2fx the file size (target at most 2x)\n",
         kb / 1024, bytes / 1048576, kb * 1024 / bytes }'
