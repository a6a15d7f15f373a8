#!/usr/bin/env bash
# write_frameless32.sh MAP_FROM_DEBUG [OUTDIR]
#
# Builds Frameless32.exe with the MinGW i686 compiler at -O2
# -fomit-frame-pointer, runs its main in an x86 emulator until it faults
# (emulate_crash.py: no 32-bit program runs on the machines this is made
# on) and writes into OUTDIR (default: data/ beside this script) what the
# tests read, kept in the repository:
#
#   Frameless32.exe       the image (with its DWARF, which SizeOfImage counts)
#   Frameless32.map       its MAP file (map_from_debug)
#   frameless32.dmp       the minidump of the fault
#   frameless32.answers   the true frames
#
# The answers file is the one of ../Frameless/write_frameless.sh: every live
# return address the emulator followed is a `frame` line (frame 0 the fault,
# the last one main's return into __tmainCRTStartup, where the stack ends),
# FUNCTION, FILE and LINE addr2line's at the address (frame 0) or at the
# return address - 1 (the call); `slot N ADDRESS` gives where on the stack
# frame N's return address lies.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: write_frameless32.sh MAP_FROM_DEBUG [OUTDIR]" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
mfd=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
out=${2:-$here/data}
tools=i686-w64-mingw32-
fail() { echo "write_frameless32: $*" >&2; exit 1; }
for tool in gcc objdump nm addr2line windres; do
  command -v "$tools$tool" >/dev/null || fail "$tools$tool not found (scripts/setup.sh installs it)"
done
/usr/bin/python3 -c 'import unicorn' 2>/dev/null || fail "/usr/bin/python3 has no unicorn module (Debian: python3-unicorn)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${tools}windres" -I "$root/tests/wine/resources" "$here/Frameless32.rc" -O coff -o "$work/Frameless32.res.o"
"${tools}gcc" -O2 -fomit-frame-pointer -g -gdwarf-4 -Wall -Wextra "$here/Frameless32.c" "$work/Frameless32.res.o" \
  -o "$work/Frameless32.exe"
cd "$work"
output=$(/usr/bin/python3 "$here/emulate_crash.py" Frameless32.exe frameless32.dmp) || fail "emulation failed: $output"
"$mfd" "$tools" Frameless32.exe Frameless32.map

field() { printf '%s\n' "$output" | awk -v key="$1" '$1 == key { $1 = ""; sub(/^ /, ""); print; exit }'; }
headers=$("${tools}objdump" -p Frameless32.exe)
size=$(awk '$1 == "SizeOfImage" { print "0x" $2 }' <<<"$headers")
image=$(awk '$1 == "ImageBase" { print "0x" $2 }' <<<"$headers")
version=$("${tools}windres" -i Frameless32.exe -O rc | awk '$1 == "FILEVERSION" { $1 = ""; gsub(/ /, ""); gsub(/,/, "."); print }')
base=$(printf '%s\n' "$output" | awk '$1 == "module" { print $3 }')
{
  echo "dump frameless32.dmp"
  echo "arch x86"
  echo "thread $(field thread)"
  echo "exception $(field exception)"
  echo "parameters $(field parameters)"
  printf 'module Frameless32.exe 0x%08X 0x%X %s 0x%08X Frameless32.map\n' "$base" "$size" "$version" "$image"
  printf '%s\n' "$output" | awk '$1 == "frame" { print $2, $3 }' | while read -r n address; do
    offset=$(( address - base ))
    at=$(( offset + image - (n > 0 ? 1 : 0) ))
    mapfile -t answer < <("${tools}addr2line" -f -e Frameless32.exe "$(printf '0x%X' $at)")
    location=${answer[1]%% (*}
    file=${location%:*}
    printf 'frame %s 0x%08X Frameless32.exe 0x%X %s %s %s\n' "$n" "$address" "$offset" \
      "${answer[0]}" "${file##*/}" "${location##*:}"
  done
  printf '%s\n' "$output" | awk '$1 == "frame" && $4 != "-" { print "slot", $2, $4 }'
} >frameless32.answers
mkdir -p "$out"
cp Frameless32.exe Frameless32.map frameless32.dmp frameless32.answers "$out/"
cat "$out/frameless32.answers"
