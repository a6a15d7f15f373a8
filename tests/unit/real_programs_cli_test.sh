#!/usr/bin/env bash
# The dumps of the real Delphi and C++Builder programs in tests/data/real-programs
# (its README: dumps, truth files), one row a dump, each walk judged by its truth:
# - symbolize --image: frame 0 at the dump's EIP, the caller frames in the
#   program's module exactly the true ones (ret, shadow, entry lines) in order up
#   to the main block, no frame outside every module;
# - Breakpad's minidump_stackwalk (npm package minidump 0.26.x) over the store of
#   db export-breakpad, up to its first frame in a module the store has no file
#   for (past it Breakpad walks the system's code its own way: shown, not judged):
#   no program frame that is not the next true one, none outside every module,
#   every true frame below the first true one outside the program.
#   real_programs_cli_test.sh QUILLFEN-CLI ADD_CODEVIEW PEER-DIR DATA-DIR
# Exits with 77 (skipped) where all else passed but npm is missing.
set -u
cli="$1" add_codeview="$2" peer="$3" data="$4"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
walker="$peer/node_modules/minidump/bin/linux-x64/minidump_stackwalk"
npm=$(command -v npm)
if [ -n "$npm" ] && { [ ! -x "$walker" ] || ! grep -qs '"version": "0\.26\.' "$peer/node_modules/minidump/package.json"; }; then
  mkdir -p "$peer"
  npm install --ignore-scripts --no-audit --no-fund --no-save --prefix "$peer" minidump@0.26 >"$peer/npm.log" 2>&1 ||
    { echo "FAIL npm install minidump@0.26:"; cat "$peer/npm.log"; exit 1; }
fi

# The true caller frames in [BASE, END), innermost first (one per slot); with
# "cross", only those below the first true frame outside it.
truth() {
  tr -d '\r' <"$1" | awk '$1 == "ret" || $1 == "shadow" || $1 == "entry" { v[$2] = $3 } END { for (s in v) print s, v[s] }' |
    sort | awk -v base="$2" -v end="$3" -v cross="${4:-}" '
      function hex(h,  n, i) { for (i = 1; i <= length(h); i++) n = n * 16 + index("0123456789ABCDEF", substr(h, i, 1)) - 1; return n }
      { a = hex($2); if (a >= base && a < end) print $2; else if (cross != "") exit }'
}
upto() { awk -v last="$1" '{ print } $1 == last { exit }'; }  # frames up to the main block's
program_frames() { awk -v exe="$2" 'NR > 1 && $2 == exe { print $1 }' "$1"; }
outside() { awk '$2 == "-"' "$1" | wc -l; }
count() { wc -l <"$1"; }

printf '%-20s %-44s %s\n' dump "symbolize --image" "Breakpad, exported store"
sym_right=0 bp_right=0 total=0
for truthfile in "$data"/dumps/*.truth; do
  id=$(basename "$truthfile" .truth) dump="${truthfile%.truth}.dmp" total=$((total + 1))
  dir="$work/$id" exe=$(ls "$data/${id%-*}"/*.exe | head -n 1) && mkdir -p "$work/$id"
  map="${exe%.exe}.map" module=$(basename "$exe")
  "$cli" symbolize "$map" --image "$exe" --json --minidump "$dump" >"$dir/sym.json" || fail "$id: symbolize exit status $?"
  read -r base size < <(grep -o "\"name\":\"$module\",\"path\":\"[^\"]*\",\"base\":\"0x[0-9A-F]*\",\"size\":[0-9]*" \
    "$dir/sym.json" | sed -E 's/.*"base":"(0x[0-9A-F]+)","size":([0-9]+)/\1 \2/')
  truth "$truthfile" $((base)) $((base + size)) >"$dir/true"
  last=$(tail -n 1 "$dir/true")
  grep -oE '"address":"0x[0-9A-F]+","module":("[^"]*"|null)' "$dir/sym.json" |
    sed -E 's/.*"0x([0-9A-F]+)","module":"?([^"]*)"?$/\1 \2/; s/ null$/ -/' | upto "$last" >"$dir/sym"

  program_frames "$dir/sym" "$module" >"$dir/sym.prog"
  k=$(diff "$dir/true" "$dir/sym.prog" | grep -m1 -oE '^[0-9]+')
  sym=right && [ -n "$k" ] && sym="wrong at #$k: true $(sed -n "${k}p" "$dir/true"), got $(sed -n "${k}p" "$dir/sym.prog")"
  [ "$(head -n 1 "$dir/sym" | cut -d' ' -f1)" = "$(tr -d '\r' <"$truthfile" | awk '$1 == "dump" { print $2 }')" ] ||
    sym="wrong frame 0"
  [ "$(outside "$dir/sym")" -eq 0 ] || sym="wrong: $(outside "$dir/sym") frames outside every module"
  [ "$sym" = right ] && sym_right=$((sym_right + 1)) || fail "$id: symbolize --image $sym"
  sym="$sym ($(count "$dir/true") true frames)"

  bp="skipped (no npm)"
  if [ -n "$npm" ]; then
    "$cli" db --db "$dir/db" add-build "$exe" "$map" >/dev/null 2>&1 && "$cli" db --db "$dir/db" export-breakpad "$dir/symbols" >/dev/null &&
      "$add_codeview" "$dump" "$dir/copy.dmp" >/dev/null || fail "$id: the store or the dump's copy"
    "$walker" "$dir/copy.dmp" "$dir/symbols" >"$dir/bp.txt" 2>/dev/null || fail "$id: minidump_stackwalk"
    "$walker" -m "$dir/copy.dmp" "$dir/symbols" 2>/dev/null >"$dir/bp.m"
    # ADDRESS MODULE: the eip of the text output, the module of the machine-readable one.
    awk -F'|' '$1 == "Crash" { t = $4 } $1 == t && $2 ~ /^[0-9]+$/ { print $2, ($3 == "" ? "-" : $3) }' "$dir/bp.m" >"$dir/bp.mod"
    awk '/^Thread [0-9]+ \(crashed\)/ { on = 1; next } on && /^Thread / { exit } on && /^ *[0-9]+  / { n = $1 }
      on && match($0, /eip = 0x[0-9a-f]+/) && !(n in seen) { seen[n] = 1; print n, toupper(substr($0, RSTART + 8, 8)) }' \
      "$dir/bp.txt" | join - "$dir/bp.mod" | sort -n | awk '{ print $2, $3 }' | upto "$last" >"$dir/bp"
    awk '$2 != exe { print; exit } { print }' exe="$module" "$dir/bp" >"$dir/bp.before"
    program_frames "$dir/bp.before" "$module" >"$dir/bp.prog"
    truth "$truthfile" $((base)) $((base + size)) cross >"$dir/true.before"
    false=$(awk 'NR == FNR { at[$1] = FNR; next } !($1 in at) || at[$1] <= k { n++; next } { k = at[$1] } END { print n + 0 }' \
      "$dir/true" "$dir/bp.prog")
    missing=$(grep -cvxFf "$dir/bp.prog" "$dir/true.before")
    bp=right
    [ "$missing" -eq 0 ] || bp="wrong: $missing true frames missing"
    [ "$false" -eq 0 ] || bp="wrong: $false false frames"
    [ "$(outside "$dir/bp.before")" -eq 0 ] || bp="wrong: $(outside "$dir/bp.before") frames outside every module"
    [ "$bp" = right ] && bp_right=$((bp_right + 1)) || fail "$id: Breakpad $bp"
    if [ "$(count "$dir/bp.before")" -lt "$(count "$dir/bp")" ] && [ "$(tail -n 1 "$dir/bp.before" | cut -d' ' -f2)" != - ]; then
      bp="$bp (crosses $(tail -n 1 "$dir/bp.before" | cut -d' ' -f2): $(count "$dir/true.before") of $(count "$dir/true") true"
      bp="$bp judged; past it $(outside "$dir/bp") outside any module, $(program_frames "$dir/bp" "$module" | grep -cvxFf "$dir/true") false)"
    fi
  fi
  printf '%-20s %-44s %s\n' "$id" "$sym" "$bp"
done
echo "symbolize --image: $sym_right of $total right; Breakpad: $bp_right of $total right"
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
[ -n "$npm" ] || { echo "SKIP Breakpad's walks: npm is not installed"; exit 77; }
