#!/usr/bin/env bash
# LLVM's own PDB reader on the PDBs quillfen-cli pdb writes.
#   pdb_peer_test.sh QUILLFEN-CLI MAPDIR... -- IMAGE...
# Every MAP file of each MAPDIR: llvm-pdbutil dump -all reads its PDB without
# an error, and at every public and every line row it lists, symbolize names
# the same function (at its start) and the same file and line. Every IMAGE
# (its MAP file beside it) is bound to its PDB with --bind, and
# llvm-symbolizer on the bound copy names, at every line row and at the
# start, middle and last byte of every procedure, the function, file and line
# symbolize names. Writing a PDB again gives the same bytes, and an image that
# cannot be bound leaves nothing written.
set -u
export LC_ALL=C
cli=$1
shift
mapdirs=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do mapdirs+=("$1"); shift; done
[ $# -gt 0 ] && shift
images=("$@")
for tool in llvm-pdbutil llvm-symbolizer llvm-objdump; do
  command -v $tool >/dev/null || { echo "FAIL $tool is not installed (scripts/setup.sh installs llvm)"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0 checked=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# The PDB's rows as RVA<TAB>KIND<TAB>WHAT: "pub NAME", "line FILE:LINE" and
# "proc NAME" at the start, middle and last byte of each procedure.
pdb_rows() {
  { llvm-pdbutil dump -section-headers "$1"; llvm-pdbutil dump -publics -l -symbols "$1"; } | awk '
    function hex(s,   v, i) { v = 0; s = tolower(s); for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }
    /SECTION HEADER #/ { sec = $NF; sub(/#/, "", sec); next }
    / virtual address$/ { va[sec + 0] = hex($1); next }
    /^ *Lines *$/ { mode = "lines"; next }
    /^ *(Symbols|Public Symbols) *$/ { mode = ""; next }
    /S_PUB32 / { match($0, /`.*`/); name = substr($0, RSTART + 1, RLENGTH - 2); next }
    /flags = function, addr = / { split($NF, a, ":"); printf "%d\tpub\t%s\n", va[a[1] + 0] + a[2], name; next }
    /S_GPROC32 / { match($0, /`.*`/); name = substr($0, RSTART + 1, RLENGTH - 2); next }
    /parent = .*addr = .*code size = / {
      split($0, f, "addr = "); split(f[2], a, "[:,]"); size = $NF; start = va[a[1] + 0] + a[2]
      printf "%d\tproc\t%s\n%d\tproc\t%s\n%d\tproc\t%s\n", start, name, start + int(size / 2), name, start + size - 1, name; next }
    mode == "lines" && / \(no checksum\)$/ { file = $0; sub(/ \(no checksum\)$/, "", file); next }
    mode == "lines" && /line\/addr entries/ { split($1, a, ":"); lsec = a[1] + 0; next }
    mode == "lines" && /^ +[0-9]+ [0-9A-F]{8}( |$)/ { for (i = 1; i < NF; i += 2) printf "%d\tline\t%s:%d\n", va[lsec] + hex($(i + 1)), file, $i }'
}

# symbolize's answers at the rows' RVAs as FUNCTION<TAB>OFFSET<TAB>FILE:LINE.
symbolize_rows() {
  cut -f1 "$2" | awk '{ printf "0x%X\n", $1 }' | "$cli" symbolize "$1" --rva - |
    sed -E 's/^0x[0-9A-F]+ //; s/^(.*)\+(0x[0-9A-F]+) \([^)]*\) /\1\t\2\t/; s/^\?\? \([^)]*\) /??\t\t/'
}

for dir in "${mapdirs[@]}"; do
  for map in "$dir"/*.map; do
    name=$(basename "$map" .map)
    pdb="$work/$name.pdb"
    "$cli" pdb "$map" -o "$pdb" --force || { fail "$map: pdb exited with $?"; continue; }
    if ! llvm-pdbutil dump -all "$pdb" >"$work/dump.txt" 2>"$work/dump.err" || [ -s "$work/dump.err" ]; then
      fail "$map: llvm-pdbutil dump -all: $(head -3 "$work/dump.err")"
      continue
    fi
    pdb_rows "$pdb" | grep -v "	proc	" >"$work/rows"
    if [ ! -s "$work/rows" ]; then
      # Only a MAP file without units and publics (the segment table alone) gives none.
      ! grep -q -e "Publics by Value" -e "Line numbers for" "$map" || fail "$map: no publics or lines in its PDB"
      continue
    fi
    symbolize_rows "$map" "$work/rows" >"$work/answers"
    # An x86 program's publics carry the C decoration, a leading "_".
    x86=$("$cli" symbolize "$map" 0 | grep -c '^0x[0-9A-F]\{8\} ')
    bad=$(paste "$work/rows" "$work/answers" | awk -F'\t' -v x86="$x86" '
      $2 == "pub" && !((x86 == 1 ? "_" : "") $4 == $3 && $5 == "0x0") { print; n++ }
      $2 == "line" && $6 != $3 { print; n++ }
      END { exit n > 0 }') || { fail "$map: PDB rows unlike symbolize's (RVA, kind, PDB, symbolize):"; echo "$bad" | head -5; }
    checked=$((checked + $(wc -l <"$work/rows")))
  done
done

for image in "${images[@]}"; do
  module=$(basename "$image")
  map="${image%.*}.map"
  bound="$work/bound-$module"
  mkdir -p "$bound"
  "$cli" pdb "$map" --image "$image" -o "$bound/${module%.*}.pdb" --bind "$bound/$module" ||
    { fail "$image: pdb --bind exited with $?"; continue; }
  "$cli" pdb "$map" --image "$image" -o "$work/again.pdb" && cmp -s "$work/again.pdb" "$bound/${module%.*}.pdb" ||
    fail "$image: the PDB written again differs"
  # Data after the last section (an overlay) is refused without --force.
  cp "$image" "$work/overlay.exe" && echo overlay >>"$work/overlay.exe"
  "$cli" pdb "$map" --image "$work/overlay.exe" -o "$work/refused.pdb" --bind "$work/refused.exe" 2>/dev/null
  status=$?
  [ $status = 1 ] && [ ! -e "$work/refused.pdb" ] && [ ! -e "$work/refused.exe" ] ||
    fail "$image with an overlay: exit status $status (1 expected), files: $(ls "$work" | grep refused)"
  base=$(llvm-objdump -p "$image" | awk '$1 == "ImageBase" { print $2 }')
  pdb_rows "$bound/${module%.*}.pdb" | grep -v "	pub	" >"$work/rows"
  [ "$(wc -l <"$work/rows")" -ge 20 ] || { fail "$image: only $(wc -l <"$work/rows") rows in its PDB"; continue; }
  symbolize_rows "$map" "$work/rows" >"$work/answers"
  cut -f1 "$work/rows" | while read -r rva; do printf '0x%X\n' $((16#$base + rva)); done |
    llvm-symbolizer --obj="$bound/$module" | awk 'NF == 0 { next } { f = $0; getline l; sub(/:[0-9]+$/, "", l); printf "%s\t%s\n", f, l }' >"$work/llvm"
  bad=$(paste "$work/rows" "$work/answers" "$work/llvm" | awk -F'\t' '
    $7 != $4 { print; n++; next }
    ($2 == "line" || $6 != "??") && $8 != $6 { print; n++ }
    END { exit n > 0 }') || { fail "$image: llvm-symbolizer unlike symbolize (RVA, kind, PDB, symbolize, llvm-symbolizer):"; echo "$bad" | head -5; }
  checked=$((checked + $(wc -l <"$work/rows")))
done
echo "pdb_peer: $checked rows checked, $failures failures"
[ $failures = 0 ]
