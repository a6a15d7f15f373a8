#!/usr/bin/env bash
# write_sites.sh [OUTDIR]
#
# Builds Checked32.exe with the MinGW i686 compiler at -O2
# -fomit-frame-pointer and writes into OUTDIR (default: data/ beside this
# script) the image, stripped of its symbols (the code is the same), and
# checked32.sites, its call sites read from the disassembly of the unstripped
# build, as RVAs:
#
#   imagebase 0x400000
#   callback 0x15B0        Callback's first byte (a code pointer, after no call)
#   leaf 0x15F0            Leaf's first byte
#   fault 0x15F8           Leaf's store through its pointer argument
#   return_middle 0x1623   after Middle's call of Leaf
#   return_outer 0x1681    after Outer's call of Middle
#   return_main 0x81A1     after main's call of Outer
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=${1:-$here/data}
tools=i686-w64-mingw32-
for tool in gcc objdump strip; do
  command -v "$tools$tool" >/dev/null || { echo "write_sites: $tools$tool not found" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${tools}gcc" -O2 -fomit-frame-pointer -Wall -Wextra "$here/Checked32.c" -o "$work/Checked32.exe"
base=$("${tools}objdump" -p "$work/Checked32.exe" | awk '$1 == "ImageBase" { print "0x" $2 }')
"${tools}objdump" -d --no-show-raw-insn "$work/Checked32.exe" | awk '
  /^[0-9a-f]+ <_[A-Za-z]+>:$/ { fn = $2; gsub(/[<>:]/, "", fn); start[fn] = $1; next }
  $1 ~ /^[0-9a-f]+:$/ {
    a = $1; sub(/:$/, "", a)
    if (pending != "") { site[pending] = a; pending = "" }
    if (fn == "_Leaf" && !("fault" in site) && $2 == "mov" && $3 ~ /,\(%e[a-z]+\)$/) site["fault"] = a
    if ($2 == "call" && fn == "_Middle" && $0 ~ /<_Leaf>/) pending = "return_middle"
    if ($2 == "call" && fn == "_Outer" && $0 ~ /<_Middle>/) pending = "return_outer"
    if ($2 == "call" && fn == "_main" && $0 ~ /<_Outer>/) pending = "return_main"
  }
  END {
    printf "callback %s\nleaf %s\n", start["_Callback"], start["_Leaf"]
    n = split("fault return_middle return_outer return_main", keys, " ")
    for (i = 1; i <= n; ++i) {
      if (!(keys[i] in site)) { print "write_sites: no " keys[i] " in the disassembly" > "/dev/stderr"; exit 1 }
      printf "%s %s\n", keys[i], site[keys[i]]
    }
  }' >"$work/addresses"
{
  echo "imagebase $base"
  while read -r key address; do printf '%s 0x%X\n' "$key" $(( 0x$address - base )); done <"$work/addresses"
} >"$work/checked32.sites"
"${tools}strip" -o "$work/Checked32.stripped.exe" "$work/Checked32.exe"
mkdir -p "$out"
cp "$work/Checked32.stripped.exe" "$out/Checked32.exe"
cp "$work/checked32.sites" "$out/"
cat "$out/checked32.sites"
