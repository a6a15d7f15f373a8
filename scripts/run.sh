#!/usr/bin/env bash
# Builds Quillfen.exe (MinGW) and starts it under Wine on the user's display:
# the 32-bit program (build/mingw) where the machine runs 32-bit programs,
# else the 64-bit build of the same sources (build/mingw64) under 64-bit Wine.
# Without a display it runs the program in Xvfb instead: loads the sample MAP
# file, answers one search and saves a screenshot in out/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh

if scripts/wine32-works; then
  build="${QF_BUILD_DIR:-build/mingw}" toolchain=cmake/mingw-i686.cmake runner=scripts/wine-run
  echo "run: the 32-bit Quillfen.exe under 32-bit Wine"
else
  build="${QF_BUILD_DIR:-build/mingw64}" toolchain=cmake/mingw-x86_64.cmake runner=scripts/wine64-run
  echo "run: the 64-bit Quillfen.exe under 64-bit Wine, since $(scripts/wine32-works -v)"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
cmake --build "$build" --target Quillfen
exe="$build/bin/Quillfen.exe"

if [ -n "${DISPLAY:-}" ]; then
  echo "run: starting $exe under Wine on $DISPLAY"
  exec "$runner" "$exe"
fi

# ---- No display: a demonstration in Xvfb -------------------------------------
map=samples/Demo.map
[ -f "$map" ] || map="$(ls tests/data/*.map 2>/dev/null | head -n 1)"
[ -n "$map" ] && [ -f "$map" ] || { echo "run: no MAP file to load (samples/Demo.map)" >&2; exit 1; }
address="${QF_DEMO_ADDRESS:-0x00401415}"

# The driver that clicks through the window, as a person would.
compiler="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"
demo="$build/bin/quillfen-demo.exe"
if [ ! -f "$demo" ] || [ scripts/quillfen-demo.cpp -nt "$demo" ] || [ tests/gui/GuiDriver.cpp -nt "$demo" ]; then
  echo "run: building the demonstration driver"
  "$compiler" -std=c++17 -O2 -static -Isrc/app -Itests/gui scripts/quillfen-demo.cpp \
    tests/gui/GuiDriver.cpp -o "$demo" -lcomctl32 -lcomdlg32 -lgdi32 -luser32 -ladvapi32 -lshell32 -lole32
fi

mkdir -p out
shot="$root/out/quillfen-main.png"
ready="$root/out/.quillfen-demo-ready"
rm -f "$ready" "$shot"
# Wine sees the Linux root as drive Z:. (winepath would start Wine here,
# outside Xvfb, and leave its desktop without a display.)
winpath() { local p="$1"; echo "Z:${p//\//\\}"; }
export QF_RUN_EXE="$(winpath "$root/$exe")" QF_RUN_DEMO="$demo" QF_RUN_SHOT="$shot"
export QF_RUN_READY="$ready" QF_RUN_READY_WIN="$(winpath "$ready")"
export QF_RUN_MAP="$(winpath "$root/$map")" QF_RUN_ADDRESS="$address" QF_RUN_RUNNER="$runner"

echo "run: no display; running Quillfen.exe in Xvfb with $map"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -u
  "$QF_RUN_RUNNER" "$QF_RUN_DEMO" "$QF_RUN_EXE" "$QF_RUN_MAP" "$QF_RUN_ADDRESS" \
    "$QF_RUN_READY_WIN" &
  driver=$!
  for _ in $(seq 1 600); do
    [ -f "$QF_RUN_READY" ] && break
    kill -0 "$driver" 2>/dev/null || break
    sleep 0.1
  done
  if [ -f "$QF_RUN_READY" ]; then
    read -r left top right bottom < <(tr -d "\r" < "$QF_RUN_READY")
    margin=12
    left=$(( left > margin ? left - margin : 0 )); top=$(( top > margin ? top - margin : 0 ))
    import -window root -crop "$(( right - left + margin ))x$(( bottom - top + margin ))+$left+$top" \
      +repage "$QF_RUN_SHOT"
    rm -f "$QF_RUN_READY"
  fi
  wait "$driver"
'
[ -f "$shot" ] || { echo "run: the demonstration did not finish; no screenshot" >&2; exit 1; }
echo "run: screenshot of the main window with the answer: $shot"
