#!/usr/bin/env bash
# write_dump.sh RUNNER TOOLPREFIX DIR DUMP ANSWERS
#
# Runs DIR/CrashApp.exe under Wine through RUNNER (scripts/wine-run for the
# 32-bit build, scripts/wine64-run for the 64-bit one); it crashes in
# CrashLib.dll and writes the minidump DIR/DUMP, and what it printed is kept
# in DIR/DUMP's name with .output for .dmp. A RUNNER of - runs nothing: the
# dump and its .output are there already (kept ones), and only the answers
# are written again. Then writes DIR/ANSWERS, what
# a reader of the dump should find, from the program's own output and, for
# every frame, addr2line (TOOLPREFIX: the start of the target's binutils
# names, e.g. /usr/bin/i686-w64-mingw32-) on the module at its preferred
# address (address - load base + image base); frame 0 at that address, every
# caller frame (a return address, the instruction after its call) at that
# address - 1, the call itself, as debuggers look them up.
#
#   dump crash32.dmp
#   arch x86                                   (x86 or amd64)
#   thread 36
#   exception 0xC0000005 0x00F614D4            code and address
#   parameters 0x00000001 0x00000000
#   module NAME LOADBASE SIZE VERSION IMAGEBASE MAPFILE
#   frame N ADDRESS MODULE OFFSET FUNCTION FILE LINE
#   caller 7 ADDRESS MODULE OFFSET FUNCTION FILE LINE
#
# `frame` lines are the frames of the frame-pointer chain from the fault up to
# the return into main; `caller` is main's return into the C runtime's
# start-up code. Addresses are written with 8 hexadecimal digits for x86 and
# 16 for amd64, offsets and sizes without leading zeros, FILE without folders.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: write_dump.sh RUNNER TOOLPREFIX DIR DUMP ANSWERS" >&2; exit 2; }
runner=$1 tools=$2 dir=$3 dump=$4 answers=$5

fail() { echo "write_dump: $*" >&2; exit 1; }
for tool in "${tools}objdump" "${tools}addr2line" "${tools}windres"; do
  command -v "$tool" >/dev/null || fail "$tool not found (scripts/setup.sh installs it)"
done

cd "$dir"
printed="${dump%.dmp}.output"
if [ "$runner" != - ]; then
  rm -f "$dump" "$answers" "$printed"
  status=0
  output=$("$runner" CrashApp.exe "$dump" | tr -d '\r') || status=$?
  [ "$status" -eq 42 ] || fail "CrashApp.exe exited with $status (42: dump written), output: $output"
  printf '%s\n' "$output" >"$printed"
fi
output=$(cat "$printed") || fail "$printed missing"
[ "$(head -c 4 "$dump")" = MDMP ] || fail "$dump is no minidump"

field() { printf '%s\n' "$output" | awk -v key="$1" '$1 == key { $1 = ""; sub(/^ /, ""); print; exit }'; }
hex() { printf '0x%X' "$1"; }

names=(CrashApp.exe CrashLib.dll)
declare -A base size image version
for m in "${names[@]}"; do
  base[$m]=$(printf '%s\n' "$output" | awk -v m="$m" '$1 == "module" && $2 == m { print $3 }')
  [ -n "${base[$m]}" ] || fail "CrashApp.exe printed no load base for $m"
  headers=$("${tools}objdump" -p "$m")
  size[$m]=$(awk '$1 == "SizeOfImage" { print "0x" $2 }' <<<"$headers")
  image[$m]=$(awk '$1 == "ImageBase" { print "0x" $2 }' <<<"$headers")
  version[$m]=$("${tools}windres" -i "$m" -O rc | awk '$1 == "FILEVERSION" { $1 = ""; gsub(/ /, ""); gsub(/,/, "."); print }')
done
case $(awk '$1 == "Magic" { print $2 }' <<<"$headers") in
  010b) arch=x86 digits=8 ;;
  020b) arch=amd64 digits=16 ;;
  *) fail "cannot tell the architecture of CrashApp.exe" ;;
esac

{
  echo "dump $dump"
  echo "arch $arch"
  echo "thread $(field thread)"
  echo "exception $(field exception)"
  echo "parameters $(field parameters)"
  for m in "${names[@]}"; do
    printf 'module %s 0x%0*X %s %s 0x%0*X %s\n' "$m" "$digits" "${base[$m]}" "$(hex "${size[$m]}")" \
      "${version[$m]}" "$digits" "${image[$m]}" "${m%.*}.map"
  done
  printf '%s\n' "$output" | awk '$1 == "frame" { print $2, $3 }' | while read -r n address; do
    module=""
    for m in "${names[@]}"; do
      if (( address >= base[$m] && address < base[$m] + size[$m] )); then module=$m; fi
    done
    [ -n "$module" ] || fail "frame $n ($address) lies in neither module"
    offset=$(( address - base[$module] ))
    lookup=$(( offset + image[$module] ))
    [ "$n" -gt 0 ] && lookup=$(( lookup - 1 ))  # a caller frame: its call
    mapfile -t answer < <("${tools}addr2line" -f -e "$module" "$(hex "$lookup")")
    location=${answer[1]%% (*}
    file=${location%:*}
    kind=frame
    [ "$n" -eq 7 ] && kind=caller
    printf '%s %s 0x%0*X %s %s %s %s %s\n' "$kind" "$n" "$digits" "$address" "$module" "$(hex "$offset")" \
      "${answer[0]}" "${file##*/}" "${location##*:}"
  done
} >"$answers.tmp"
mv "$answers.tmp" "$answers"
cat "$answers"
