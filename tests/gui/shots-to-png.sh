#!/usr/bin/env bash
# Converts the GUI tests' screenshots (BMP) to PNG for the README.
#   tests/gui/shots-to-png.sh [SHOTS-FOLDER] [OUTPUT-FOLDER]
# SHOTS-FOLDER defaults to build/mingw/shots (where the test script's Wine run
# leaves them), OUTPUT-FOLDER to docs/img. Needs ImageMagick.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
shots="${1:-$root/build/mingw/shots}"
out="${2:-$root/docs/img}"
convert_cmd="$(command -v magick || command -v convert || true)"
[ -n "$convert_cmd" ] || { echo "shots-to-png: ImageMagick (convert) is not installed" >&2; exit 1; }
[ -d "$shots" ] || { echo "shots-to-png: no screenshots in $shots (run the GUI tests first)" >&2; exit 1; }
mkdir -p "$out"
count=0
for bmp in "$shots"/*.bmp; do
  [ -e "$bmp" ] || continue
  png="$out/$(basename "${bmp%.bmp}").png"
  # No time stamps in the file, so an unchanged picture gives an unchanged PNG.
  "$convert_cmd" "$bmp" -strip -define png:exclude-chunks=date,time "$png"
  echo "$png"
  count=$((count + 1))
done
[ "$count" -gt 0 ] || { echo "shots-to-png: no .bmp files in $shots" >&2; exit 1; }
