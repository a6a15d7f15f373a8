#!/usr/bin/env bash
# LLVM's own PDB reader on the PDBs quillfen-cli pdb writes.
#   pdb_peer_test.sh QUILLFEN-CLI MAPDIR... -- IMAGE...
# Every MAP file of each MAPDIR: llvm-pdbutil dump -all reads its PDB without
# an error, and at every public, procedure and line row it lists, symbolize
# names the same function (a public by the linker's name, at its start, at
# an address several publics share one of them; a procedure by the readable
# name) and the same file and line, and it lists as many publics as the MAP
# file has code publics (those that share an address included). Every IMAGE
# (its MAP file beside it) is bound to its PDB with --bind, and
# llvm-symbolizer on the bound copy names, at every line row and at the
# start, middle and last byte of every procedure, the function, file and line
# symbolize names, and llvm-pdbutil dump -fpo reads the frame data (an x86
# image's) without an error. Writing a PDB again gives the same bytes, and an image that
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

# symbolize's answers at the rows' RVAs as FUNCTION<TAB>OFFSET<TAB>FILE:LINE
# (symbolize's options after MAP and ROWS).
symbolize_rows() {
  cut -f1 "$2" | awk '{ printf "0x%X\n", $1 }' | "$cli" symbolize "$1" --rva "${@:3}" - |
    sed -E 's/^0x[0-9A-F]+ //; s/^(.*)\+(0x[0-9A-F]+) \([^)]*\) /\1\t\2\t/; s/^\?\? \([^)]*\) /??\t\t/'
}

# The code publics of a MAP file: the publics in its code segments (class
# CODE or ICODE, up to the end of the segment or of its modules' code),
# less the type information (a ".." outside parentheses).
code_publics() {
  awk 'function hex(s,   v, i) { v = 0; s = tolower(s); for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }
    { sub(/\r$/, "") }
    /^ *Start +Length +Name +Class/ { table = 1; next }
    table && NF == 0 { table = 0 }
    table && $NF ~ /CODE$/ { split($1, a, ":"); code[a[1]] = 1; sub(/H$/, "", $2); end[a[1]] = hex(a[2]) + hex($2) }
    /^Detailed map of segments/ { detail = 1; next }
    detail && /C=I?CODE / { split($1, a, ":"); e = hex(a[2]) + hex($2); if (e > end[a[1]]) end[a[1]] = e; next }
    /Publics by Value/ { detail = 0; publics = 1; next }
    /^Line numbers for|^Bound resource|^Program entry point/ { publics = 0 }
    publics && /^ *[0-9A-Fa-f]+:[0-9A-Fa-f]+ / {
      split($1, a, ":"); name = $0; sub(/^ *[^ ]+ +/, "", name); sub(/ +$/, "", name)
      dots = index(name, ".."); paren = index(name, "(")
      if ((a[1] in code) && hex(a[2]) < end[a[1]] && !(dots > 0 && (paren == 0 || paren > dots))) n++ }
    END { print n + 0 }' "$1"
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
    pdbPublics=$(grep -c "S_PUB32 " "$work/dump.txt") mapPublics=$(code_publics "$map")
    [ "$pdbPublics" = "$mapPublics" ] || fail "$map: $pdbPublics publics in its PDB, $mapPublics code publics in the MAP file"
    echo "$name: $pdbPublics publics"
    pdb_rows "$pdb" >"$work/rows"
    if [ ! -s "$work/rows" ]; then
      # Only a MAP file without units and publics (the segment table alone) gives none.
      ! grep -q -e "Publics by Value" -e "Line numbers for" "$map" || fail "$map: no publics or lines in its PDB"
      continue
    fi
    symbolize_rows "$map" "$work/rows" >"$work/answers"
    symbolize_rows "$map" "$work/rows" --no-demangle | cut -f1,2 >"$work/linker"
    # An x86 program's publics carry the C decoration, a leading "_".
    x86=$("$cli" symbolize "$map" 0 | grep -c '^0x[0-9A-F]\{8\} ')
    # A public at an address several share: symbolize names one of them.
    bad=$(paste "$work/rows" "$work/answers" "$work/linker" | awk -F'\t' -v x86="$x86" '
      FNR == NR { if ($2 == "pub") { count[$1]++; names[$1 "\t" $3] = 1 } next }
      $2 == "pub" && !($8 == "0x0" && ((x86 == 1 ? "_" : "") $7 == $3 || (count[$1] > 1 && ($1 "\t" (x86 == 1 ? "_" : "") $7) in names))) { print; n++ }
      $2 == "proc" && $4 != $3 { print; n++ }
      $2 == "line" && $6 != $3 { print; n++ }
      END { exit n > 0 }' "$work/rows" -) || { fail "$map: PDB rows unlike symbolize's (RVA, kind, PDB, symbolize):"; echo "$bad" | head -5; }
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
  # An x86 image's PDB holds frame data; llvm-pdbutil reads it (and any other's) without an error.
  if ! llvm-pdbutil dump -fpo "$bound/${module%.*}.pdb" >"$work/fpo.txt" 2>"$work/fpo.err" || [ -s "$work/fpo.err" ]; then
    fail "$image: llvm-pdbutil dump -fpo: $(head -3 "$work/fpo.err")"
  fi
  echo "$module: $(grep -c '^[0-9A-F]\{8\} |' "$work/fpo.txt") frame data records"
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
# A C++Builder procedure by its readable name, by the linker's with
# --no-demangle; its public by the linker's either way.
for dir in "${mapdirs[@]}"; do
  cb="$dir/WangGangNameZebei-Project1.map"
  [ -f "$cb" ] || continue
  while IFS='|' read -r option proc; do
    "$cli" pdb "$cb" $option -o "$work/cb.pdb" || { fail "$cb: pdb $option exited with $?"; continue; }
    got=$(llvm-pdbutil dump -symbols -publics "$work/cb.pdb" | grep -o '`[^`]*TForm1[@:]*Button11Click[^`]*`' | sort -u | tr '\n' ' ')
    want=$(printf '%s\n' "\`$proc\`" '`_@TForm1@Button11Click$qqrp14System@TObject`' | sort -u | tr '\n' ' ')
    [ "$got" = "$want" ] || fail "$cb: pdb $option: S_GPROC32 and S_PUB32 $got, expected $want"
  done <<'ROWS'
|__fastcall TForm1::Button11Click(System::TObject *)
--no-demangle|@TForm1@Button11Click$qqrp14System@TObject
ROWS
done
echo "pdb_peer: $checked rows checked, $failures failures"
[ $failures = 0 ]
