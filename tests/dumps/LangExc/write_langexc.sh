#!/usr/bin/env bash
# write_langexc.sh MAP_FROM_DEBUG [PPCROSS386 UNITS]
#
# Builds DelphiRaise.exe (i686-w64-mingw32-gcc) and, given a Free Pascal
# cross compiler for i386-win32 and its units, FpcRaise.exe; writes their MAP
# files (map_from_debug, from the unstripped builds), keeps the images with
# their debug information stripped in data/, and runs each kind of raise
# under 32-bit Wine (scripts/wine-run) twice: MiniDumpNormal (NAME.dmp) and
# MiniDumpWithFullMemory, the latter cut by dumptool.py trim to the stack,
# the image and the pages of the object and its message (NAME_full.dmp).
# What each run printed is kept beside its dump (.output).
set -euo pipefail
[ $# -eq 1 ] || [ $# -eq 3 ] || { echo "usage: write_langexc.sh MAP_FROM_DEBUG [PPCROSS386 UNITS]" >&2; exit 2; }
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$here/../../.."
mfd=$1
tools=/usr/bin/i686-w64-mingw32-
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$here/data"

"${tools}gcc" -O0 -g -gdwarf-4 -fno-omit-frame-pointer -fno-inline -mno-omit-leaf-frame-pointer -Wall -Wextra \
  "$here/DelphiRaise.c" -ldbghelp -o "$work/DelphiRaise.exe"
programs=(DelphiRaise)
if [ $# -eq 3 ]; then
  "$2" -Twin32 -Pi386 -n -Fu"$3" -gw2 -O1 -FE"$work" -FU"$work" "$here/FpcRaise.dpr" >/dev/null
  programs+=(FpcRaise)
fi
for p in "${programs[@]}"; do
  "$mfd" "$tools" "$work/$p.exe" "$here/data/$p.map"
  "${tools}strip" --strip-debug "$work/$p.exe" -o "$here/data/$p.exe"
done

# run NAME PROGRAM ARGS...: NAME.dmp and NAME_full.dmp with their .output.
run() {
  local name=$1 program=$2
  shift 2
  for type in 0 2; do
    local dump="$work/$name.dmp" status=0
    (cd "$here/data" && "$root/scripts/wine-run" "$program.exe" "$dump" "$@" $type) >"$work/out" || status=$?
    [ "$status" -eq 42 ] || { echo "write_langexc: $program.exe $* exited with $status" >&2; exit 1; }
    if [ $type = 0 ]; then
      cp "$dump" "$here/data/$name.dmp"
      tr -d '\r' <"$work/out" >"$here/data/$name.output"
    else
      python3 "$root/tests/unit/dumptool.py" trim "$dump" "$here/data/${name}_full.dmp" \
        $(awk '$1 == "object" || $1 == "message" { print $2 }' "$work/out")
      tr -d '\r' <"$work/out" >"$here/data/${name}_full.output"
    fi
  done
}
run delphi2009 DelphiRaise d2009
run delphi2007 DelphiRaise d2007
run cppbuilder DelphiRaise cpp
if [ $# -eq 3 ]; then
  run fpc FpcRaise convert
  run fpcopen FpcRaise open
fi
ls -l "$here/data"
