#!/usr/bin/env bash
# The walks of the dumps of real Delphi and C++Builder programs in
# tests/data/real-programs (their README describes dumps and truth files),
# judged by the truth files, with one row per dump:
# - symbolize MAP --image EXE --minidump DMP: frame 0 at the dump's EIP, the
#   caller frames in the program's module exactly the true ones (ret,
#   shadow, entry), in order, up to the main block, and no frame outside
#   every module;
# - Breakpad's minidump_stackwalk (npm package minidump 0.26.x) over the
#   store db export-breakpad writes from the program's image and MAP file,
#   up to its first frame in a module the store has no file for (past it,
#   Breakpad walks the system's code by its own means; what it finds there
#   is shown, not judged): no frame of the program that is not a true one or
#   out of order, no frame outside every module, and every true frame up to
#   the first true one outside the program.
#   real_programs_cli_test.sh QUILLFEN-CLI ADD_CODEVIEW PEER-DIR DATA-DIR
# Exits with 77 (skipped) when every symbolize walk is right but npm is
# missing for Breakpad's.
set -u
cli="$1" add_codeview="$2" peer="$3" data="$4"
work="${QF_REAL_WORK:-$(mktemp -d)}"
[ -n "${QF_REAL_WORK:-}" ] || trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

walker="$peer/node_modules/minidump/bin/linux-x64/minidump_stackwalk"
breakpad=1
if ! command -v npm >/dev/null 2>&1; then
  breakpad=0
else
  installed=$(sed -n 's/^ *"version": "\(.*\)",*$/\1/p' "$peer/node_modules/minidump/package.json" 2>/dev/null)
  if [ ! -x "$walker" ] || [[ "$installed" != 0.26.* ]]; then
    mkdir -p "$peer"
    npm install --ignore-scripts --no-audit --no-fund --no-save --prefix "$peer" minidump@0.26 >"$peer/npm.log" 2>&1 ||
      { echo "FAIL npm install minidump@0.26:"; cat "$peer/npm.log"; exit 1; }
  fi
fi

# The program's true caller frames, innermost first: the values of the
# ret/shadow/entry lines (one per slot) inside [BASE, END), by slot; with
# "cross", only those below the first true frame outside the program.
truth() {
  awk -v base="$2" -v end="$3" -v cross="${4:-}" '
    function hex(h,  n, i) { n = 0; h = toupper(h); for (i = 1; i <= length(h); i++) n = n * 16 + index("0123456789ABCDEF", substr(h, i, 1)) - 1; return n }
    { sub(/\r$/, "") }
    $1 == "ret" || $1 == "shadow" || $1 == "entry" { v[$2] = $3 }
    END {
      n = 0
      for (s in v) slots[++n] = s
      for (i = 2; i <= n; i++) for (j = i; j > 1 && slots[j - 1] > slots[j]; j--) {
        t = slots[j]; slots[j] = slots[j - 1]; slots[j - 1] = t
      }
      for (i = 1; i <= n; i++) {
        a = hex(v[slots[i]])
        if (a >= base && a < end) print v[slots[i]]
        else if (cross != "") exit
      }
    }' "$1"
}

# The frames to judge (ADDRESS MODULE, the module "-" outside every one)
# up to the first at the main block's return address; frame 0 first.
upto() { awk -v last="$1" '{ print } toupper($1) == toupper(last) { exit }'; }

# Program frames (after frame 0) of FRAMES, and frames outside every module.
program_frames() { awk -v exe="$2" 'NR > 1 && $2 == exe { print toupper($1) }' "$1"; }
outside() { awk '$2 == "-"' "$1" | wc -l; }

# Whether GOT is TRUE in order, nothing but true frames (the first line of
# its answer: right, or what is wrong).
judge_exact() {
  if diff -q "$1" "$2" >/dev/null; then echo right; return; fi
  local k
  k=$(paste -d' ' "$1" "$2" | awk '$1 != $2 { print NR; exit }')
  [ -z "$k" ] && k=$(($(wc -l <"$1") + 1))
  echo "wrong at #$k: true $(sed -n "${k}p" "$1" | tr -d '\n' || true)${1:+,} got $(sed -n "${k}p" "$2")"
}

printf '%-20s %-44s %s\n' dump "symbolize --image" "Breakpad, exported store"
sym_right=0 bp_right=0 total=0
for truthfile in "$data"/dumps/*.truth; do
  id=$(basename "$truthfile" .truth)
  dump="${truthfile%.truth}.dmp"
  program="$data/${id%-*}"
  exe=$(ls "$program"/*.exe | grep -iv pthread | head -n 1)
  map="${exe%.exe}.map"
  module=$(basename "$exe")
  dir="$work/$id"
  mkdir -p "$dir"
  total=$((total + 1))
  "$cli" symbolize "$map" --image "$exe" --json --minidump "$dump" >"$dir/sym.json" 2>"$dir/sym.err" ||
    fail "$id: symbolize --image exit status $?"
  read -r base size < <(grep -o "\"name\":\"$module\",\"path\":\"[^\"]*\",\"base\":\"0x[0-9A-F]*\",\"size\":[0-9]*" \
    "$dir/sym.json" | sed -E 's/.*"base":"(0x[0-9A-F]+)","size":([0-9]+)/\1 \2/')
  base=$((base)) end=$((base + size))
  eip=$(awk '$1 == "dump" { print $2 }' "$truthfile" | tr -d '\r')
  truth "$truthfile" "$base" "$end" >"$dir/true"
  last=$(tail -n 1 "$dir/true")
  grep -oE '"frame":[0-9]+,"address":"0x[0-9A-F]+","module":("[^"]*"|null)' "$dir/sym.json" |
    sed -E 's/.*"address":"0x([0-9A-F]+)","module":"?([^"]*)"?$/\1 \2/; s/ null$/ -/' | upto "$last" >"$dir/sym"

  # symbolize: every true frame in order, nothing between, frame 0 the dump's.
  program_frames "$dir/sym" "$module" >"$dir/sym.prog"
  sym=$(judge_exact "$dir/true" "$dir/sym.prog")
  [ "$(head -n 1 "$dir/sym" | cut -d' ' -f1)" = "$eip" ] || sym="wrong frame 0"
  [ "$(outside "$dir/sym")" -eq 0 ] || sym="wrong: $(outside "$dir/sym") frames outside every module"
  [ "$sym" = right ] && sym_right=$((sym_right + 1)) || fail "$id: symbolize --image $sym"
  sym="$sym ($(wc -l <"$dir/true") true frames)"

  bp="skipped (no npm)"
  if [ $breakpad = 1 ]; then
    "$cli" db --db "$dir/db" add-build "$exe" "$map" >/dev/null 2>&1 || fail "$id: db add-build"
    "$cli" db --db "$dir/db" export-breakpad "$dir/symbols" >/dev/null 2>&1 || fail "$id: db export-breakpad"
    "$add_codeview" "$dump" "$dir/copy.dmp" >/dev/null || fail "$id: add_codeview"
    "$walker" "$dir/copy.dmp" "$dir/symbols" >"$dir/bp.txt" 2>/dev/null || fail "$id: minidump_stackwalk"
    "$walker" -m "$dir/copy.dmp" "$dir/symbols" >"$dir/bp.m" 2>/dev/null
    crashed=$(awk -F'|' '$1 == "Crash" { print $4 }' "$dir/bp.m")
    # Breakpad's frames: ADDRESS MODULE, the address its text output's eip,
    # the module that of its machine-readable output.
    awk -F'|' -v t="$crashed" '$1 == t && $2 ~ /^[0-9]+$/ { print $2, ($3 == "" ? "-" : $3) }' "$dir/bp.m" >"$dir/bp.modules"
    awk '/^Thread [0-9]+ \(crashed\)/ { on = 1; next } on && /^Thread / { exit }
      on && /^ *[0-9]+  / { n = $1 } on && match($0, /eip = 0x[0-9a-f]+/) && !(n in seen) {
        seen[n] = 1; print n, toupper(substr($0, RSTART + 8, RLENGTH - 8)) }' "$dir/bp.txt" |
      join - "$dir/bp.modules" | sort -n | awk '{ printf "%08s %s\n", $2, $3 }' | upto "$last" >"$dir/bp"
    # Past its first frame in a module the store has no file for, Breakpad
    # walks the system's code by its own means (frame pointers, its scan):
    # what it finds there is counted, not judged.
    awk '$2 != exe { print; exit } { print }' exe="$module" "$dir/bp" >"$dir/bp.before"
    program_frames "$dir/bp.before" "$module" >"$dir/bp.prog"
    truth "$truthfile" "$base" "$end" cross >"$dir/true.before"
    # False: a program frame not next in the true order.
    false=$(awk 'NR == FNR { at[$1] = FNR; next } { if (!($1 in at) || at[$1] <= k) n++; else k = at[$1] } END { print n + 0 }' \
      "$dir/true" "$dir/bp.prog")
    missing=$(grep -cvxFf "$dir/bp.prog" "$dir/true.before")
    bp=right
    [ "$missing" -eq 0 ] || bp="wrong: $missing of $(wc -l <"$dir/true.before") true frames missing"
    [ "$false" -eq 0 ] || bp="wrong: $false false frames"
    [ "$(outside "$dir/bp.before")" -eq 0 ] || bp="wrong: $(outside "$dir/bp.before") frames outside every module"
    [ "$bp" = right ] && bp_right=$((bp_right + 1)) || fail "$id: Breakpad $bp"
    if [ "$(wc -l <"$dir/bp.before")" -lt "$(wc -l <"$dir/bp")" ]; then
      after=$(program_frames "$dir/bp" "$module" | grep -cvxFf "$dir/true")
      bp="$bp (crosses $(awk '$2 != exe { print $2; exit }' exe="$module" "$dir/bp"): $(wc -l <"$dir/true.before") of"
      bp="$bp $(wc -l <"$dir/true") true frames judged; after it $(outside "$dir/bp") outside every module, $after false)"
    fi
  fi
  printf '%-20s %-44s %s\n' "$id" "$sym" "$bp"
done
echo "symbolize --image: $sym_right of $total right; Breakpad: $bp_right of $total right"
echo "failures: $failures"
[ "$failures" -eq 0 ] || exit 1
[ $breakpad = 1 ] || { echo "SKIP Breakpad's walks: npm is not installed"; exit 77; }
