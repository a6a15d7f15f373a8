#!/usr/bin/env bash
# write_frameless.sh MAP_FROM_DEBUG [OUTDIR]
#
# Builds Frameless.exe and FrameLib.dll with the MinGW x86-64 compiler at -O2
# -fomit-frame-pointer, runs Frameless.exe under 64-bit Wine
# (scripts/wine64-run), and writes into OUTDIR (default: the folder of this
# script, data/) what the tests read, kept in the repository:
#
#   Frameless.exe FrameLib.dll          the modules (with their DWARF, which
#                                       their SizeOfImage counts)
#   Frameless.map FrameLib.map          their MAP files (map_from_debug)
#   frameless64.dmp                     the minidump
#   frameless64.answers                 what a reader of the dump should find
#
# The answers file is the one of ../write_dump.sh, except that every frame is
# a `frame` line: those down to main's return address from
# __builtin_return_address, those of main's callers from
# RtlCaptureStackBackTrace, in modules that are neither of the two (the
# system's) with MODULE `?`, OFFSET the address, FUNCTION, FILE and LINE `?`.
# FUNCTION, FILE and LINE of a caller frame (all but frame 0) are addr2line's
# at its return address - 1, the call.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: write_frameless.sh MAP_FROM_DEBUG [OUTDIR]" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
mfd=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
out=${2:-$here/data}
tools=x86_64-w64-mingw32-
fail() { echo "write_frameless: $*" >&2; exit 1; }
for tool in gcc objdump addr2line windres; do
  command -v "$tools$tool" >/dev/null || fail "$tools$tool not found (scripts/setup.sh installs it)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
flags=(-O2 -fomit-frame-pointer -g -gdwarf-4 -Wall -Wextra)
resources=$root/tests/wine/resources
"${tools}windres" -I "$resources" "$here/FrameLib.rc" -O coff -o "$work/FrameLib.res.o"
"${tools}gcc" "${flags[@]}" -shared -Wl,--image-base=0x180000000 "$here/FrameLib.c" "$work/FrameLib.res.o" \
  -o "$work/FrameLib.dll"
"${tools}windres" -I "$resources" "$here/Frameless.rc" -O coff -o "$work/Frameless.res.o"
"${tools}gcc" "${flags[@]}" -I "$here" "$here/Frameless.c" "$work/Frameless.res.o" -ldbghelp -o "$work/Frameless.exe"

cd "$work"
status=0
output=$("$root/scripts/wine64-run" Frameless.exe frameless64.dmp | tr -d '\r') || status=$?
[ "$status" -eq 42 ] || fail "Frameless.exe exited with $status (42: dump written), output: $output"
[ "$(head -c 4 frameless64.dmp)" = MDMP ] || fail "frameless64.dmp is no minidump"
for m in Frameless.exe FrameLib.dll; do "$mfd" "$tools" "$m" "${m%.*}.map"; done

field() { printf '%s\n' "$output" | awk -v key="$1" '$1 == key { $1 = ""; sub(/^ /, ""); print; exit }'; }
hex() { printf '0x%X' "$1"; }
names=(Frameless.exe FrameLib.dll)
declare -A base size image version
for m in "${names[@]}"; do
  base[$m]=$(printf '%s\n' "$output" | awk -v m="$m" '$1 == "module" && $2 == m { print $3 }')
  [ -n "${base[$m]}" ] || fail "Frameless.exe printed no load base for $m"
  headers=$("${tools}objdump" -p "$m")
  size[$m]=$(awk '$1 == "SizeOfImage" { print "0x" $2 }' <<<"$headers")
  image[$m]=$(awk '$1 == "ImageBase" { print "0x" $2 }' <<<"$headers")
  version[$m]=$("${tools}windres" -i "$m" -O rc | awk '$1 == "FILEVERSION" { $1 = ""; gsub(/ /, ""); gsub(/,/, "."); print }')
done
{
  echo "dump frameless64.dmp"
  echo "arch amd64"
  echo "thread $(field thread)"
  echo "exception $(field exception)"
  echo "parameters $(field parameters)"
  for m in "${names[@]}"; do
    printf 'module %s 0x%016X %s %s 0x%016X %s\n' "$m" "${base[$m]}" "$(hex "${size[$m]}")" \
      "${version[$m]}" "${image[$m]}" "${m%.*}.map"
  done
  printf '%s\n' "$output" | awk '$1 == "frame" { print $2, $3 }' | while read -r n address; do
    module=""
    for m in "${names[@]}"; do
      if (( address >= base[$m] && address < base[$m] + size[$m] )); then module=$m; fi
    done
    if [ -z "$module" ]; then
      printf 'frame %s 0x%016X ? %s ? ? ?\n' "$n" "$address" "$(hex "$address")"
      continue
    fi
    offset=$(( address - base[$module] ))
    # A caller frame is answered at its return address - 1: the call.
    at=$(( offset + image[$module] - (n > 0 ? 1 : 0) ))
    mapfile -t answer < <("${tools}addr2line" -f -e "$module" "$(hex $at)")
    location=${answer[1]%% (*}
    file=${location%:*}
    printf 'frame %s 0x%016X %s %s %s %s %s\n' "$n" "$address" "$module" "$(hex "$offset")" \
      "${answer[0]}" "${file##*/}" "${location##*:}"
  done
} >frameless64.answers
mkdir -p "$out"
cp Frameless.exe FrameLib.dll Frameless.map FrameLib.map frameless64.dmp frameless64.answers "$out/"
cat "$out/frameless64.answers"
