#!/usr/bin/env bash
# keep_dump64.sh [BUILD_DIR]
#
# Writes the kept x86-64 crash dump of tests/dumps/win64 again: builds
# CrashApp.exe and CrashLib.dll for x86-64 with their MAP files in the native
# BUILD_DIR (default build/native, configured if needed), runs CrashApp.exe
# under 64-bit Wine (scripts/wine64-run) and keeps the modules, the MAP files,
# the dump, what the program printed and the answers file. The tests read
# these files and never run the program, so the Windows tests need no Wine of
# a particular bitness to have a real dump. Run it by hand when the crash
# program changes; the dump, the modules and their MAP files belong together.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:-$root/build/native}"
cd "$root"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target crash_fixture64
from="$build/tests/dumps/win64"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$from"/CrashApp.exe "$from"/CrashLib.dll "$from"/CrashApp.map "$from"/CrashLib.map "$work/"
bash tests/dumps/write_dump.sh "$root/scripts/wine64-run" /usr/bin/x86_64-w64-mingw32- "$work" crash64.dmp crash64.answers
to="$root/tests/dumps/win64"
mkdir -p "$to"
cp "$work"/CrashApp.exe "$work"/CrashLib.dll "$work"/CrashApp.map "$work"/CrashLib.map \
   "$work"/crash64.dmp "$work"/crash64.output "$work"/crash64.answers "$to/"
echo "keep_dump64: kept in $to"
