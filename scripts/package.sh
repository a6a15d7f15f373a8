#!/usr/bin/env bash
# Builds the release (MinGW-w64, 32-bit, Release) and packs what a user needs
# into out/Quillfen-<version>.zip:
#
#   Quillfen-<version>/Quillfen.exe
#   Quillfen-<version>/quillfen-cli.exe
#   Quillfen-<version>/help/...        the help page the program opens
#   Quillfen-<version>/README.txt      docs/release/README.txt
#
# The packed programs are stripped of symbols and debug sections (the build
# folder keeps its unstripped copies for debugging).
#
# The version is the program's file version (as its caption shows it). The
# build folder is build/release-mingw unless QF_BUILD_DIR says otherwise; the
# tests are not built. Needs the MinGW toolchain (scripts/setup.sh installs it).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

build="${QF_BUILD_DIR:-build/release-mingw}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQF_BUILD_TESTS=OFF \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build "$build" --target Quillfen quillfen-cli -j 2

version="$(sed -n 's/^#define QF_VERSION_TEXT "\(.*\)"$/\1/p' "$build/src/app/QuillfenVersion.h")"
[ -n "$version" ] || { echo "package: no version in $build/src/app/QuillfenVersion.h" >&2; exit 1; }
name="Quillfen-$version"

for file in "$build/bin/Quillfen.exe" "$build/bin/quillfen-cli.exe" docs/help/index.html docs/release/README.txt; do
  [ -f "$file" ] || { echo "package: $file is missing" >&2; exit 1; }
done

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/help"
cp "$build/bin/Quillfen.exe" "$build/bin/quillfen-cli.exe" "$stage/$name/"
strip_tool="$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$build/CMakeCache.txt")"
[ -x "$strip_tool" ] || strip_tool="$(command -v i686-w64-mingw32-strip || true)"
[ -n "$strip_tool" ] || { echo "package: no strip tool for the MinGW build" >&2; exit 1; }
"$strip_tool" --strip-all "$stage/$name/Quillfen.exe" "$stage/$name/quillfen-cli.exe"
cp -R docs/help/. "$stage/$name/help/"
# Windows line ends, so that Notepad shows the read-me properly.
sed 's/\r*$/\r/' docs/release/README.txt > "$stage/$name/README.txt"

mkdir -p out
zip="$root/out/$name.zip"
rm -f "$zip"
# The files carry one fixed date and come in a fixed order.
find "$stage/$name" -exec touch -h -d '2000-01-01 00:00:00 UTC' {} +
(cd "$stage" && find "$name" -type f | LC_ALL=C sort | cmake -E tar cf "$zip" --format=zip --files-from=/dev/stdin)

echo "package: $zip"
(cd "$stage" && find "$name" -type f | LC_ALL=C sort | sed 's/^/  /')
