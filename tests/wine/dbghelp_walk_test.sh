#!/usr/bin/env bash
# dbghelp's StackWalk64 (under Wine, x86) over x86 dumps, memory read from
# the dump, the program's module its bound copy with the PDB quillfen-cli pdb
# writes: the program's caller frames must be the true ones, in order, none
# added, up to the main block (the last true one; what follows is not
# judged), and no frame before it may lie outside every module.
# The same walk over the image as it was (no PDB, so no frame data) is shown
# beside it, not judged.
#   dbghelp_walk_test.sh CLI DBGHELP_WALK WRAPPER STRIP IMAGE,MAP,DUMP,TRUE-FRAMES[,strip]...
# TRUE-FRAMES: a .truth file (the ret, shadow and entry lines: return
# addresses by their slots, innermost first) or an .answers file (its frame
# lines from frame 1 on). ",strip": the image (a GCC one) is walked stripped
# of its DWARF and .eh_frame with STRIP, as dbghelp walks by an image's own
# call frame information before the PDB's frame data (and GCC's says nothing
# of the pushes of inline assembly).
set -u
cli="$1" walk="$2" wrapper="$3" strip="$4"
shift 4
source "$(dirname "$0")/../unit/wine_cli.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0 n=0 right=0 rightWithout=0
hexfn='function hex(s,   v, i) { v = 0; s = tolower(s); for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }' 
# The frames of a walk in the program's module, one address a line.
in_module() {  # WALK-OUTPUT MODULE-NAME
  awk -v name="$2" "$hexfn"'
    $1 == "module" { m = $4; sub(/.*[\\\/]/, "", m); if (tolower(m) == tolower(name)) { base = hex($2); size = hex($3) } }
    $1 == "frame" && $2 > 0 { pc = hex($3); if (pc >= base && pc < base + size) printf "%08X\n", pc }' "$1"
}
# Whether the walk's frames up to its last one in EXPECTED lie in some module.
all_in_modules() {  # WALK-OUTPUT EXPECTED
  awk "$hexfn"'
    FNR == NR { last[$1] = 1; next }
    $1 == "module" { b[++k] = hex($2); s[k] = hex($3); next }
    $1 == "frame" { pc = hex($3); f[++nf] = pc; if (sprintf("%08X", pc) in last) upto = nf }
    END { for (i = 1; i <= upto; i++) { ok = 0; for (j = 1; j <= k; j++) if (f[i] >= b[j] && f[i] < b[j] + s[j]) ok = 1; if (!ok) exit 1 } }' "$2" "$1"
}
printf '%-28s %5s %-24s %-24s\n' "dump" "true" "with frame data" "without (not judged)"
for arg in "$@"; do
  n=$((n + 1))
  IFS=, read -r image map dump truth how <<<"$arg"
  module=$(basename "$image") name=$(basename "$dump" .dmp)
  mkdir -p "$n/bound" "$n/plain" && cd "$n" || exit 1
  cp "$dump" dump.dmp
  if [ "$how" = strip ]; then
    "$strip" --strip-debug -R .eh_frame -o "plain/$module" "$image" || fail "$name: $strip"
  else
    cp "$image" "plain/$module"
  fi
  q pdb "$map" --image "plain/$module" -o "bound/${module%.*}.pdb" --bind "bound/$module" >/dev/null ||
    { fail "$name: pdb --bind"; cd "$work"; continue; }
  run "$walk" dump.dmp "bound/$module" >with.txt || fail "$name: the walk with frame data"
  run "$walk" dump.dmp "plain/$module" >without.txt || fail "$name: the walk without"
  case "$truth" in
    *.truth) tr -d '\r' <"$truth" | awk '$1 == "ret" || $1 == "shadow" || $1 == "entry" { print $2, $3 }' | sort -u | sort -k1,1 |
               awk '{ print $2 }' >all ;;
    *) tr -d '\r' <"$truth" | awk '$1 == "frame" && $2 > 0 { sub(/^0x/, "", $3); print $3 }' >all ;;
  esac
  # The true frames in the program's module (its range from the walk's list of
  # modules), up to the first that lies in another: past a callback of the
  # system (Wine's user32 under a window procedure) dbghelp walks the system's
  # frames by their own means, which no PDB of the program changes.
  awk -v name="$module" '$1 == "module" { m = $4; sub(/.*[\\\/]/, "", m); if (tolower(m) == tolower(name)) print $2, $3 }' with.txt |
    { read -r base size; while read -r pc; do
        v=$((16#$pc)); [ $v -ge $((16#$base)) ] && [ $v -lt $((16#$base + 16#$size)) ] || break
        printf '%08X\n' $v
      done <all; } >expected
  crossing=$(($(wc -l <all) > $(wc -l <expected) + 1))
  if [ ! -s expected ]; then
    fail "$name: no true frame in the program's module (is it in the walk's list of modules?)"; cd "$work"; continue
  fi
  in_module with.txt "$module" >with-frames
  in_module without.txt "$module" >without-frames
  verdict() {  # FRAMES WALK
    if head -n "$(wc -l <expected)" "$1" | cmp -s - expected && all_in_modules "$2" expected; then echo "right ($(wc -l <expected))"
    else echo "wrong ($(comm -12 <(sort "$1") <(sort expected) | wc -l) of $(wc -l <"$1") true)"; fi
  }
  with=$(verdict with-frames with.txt) without=$(verdict without-frames without.txt)
  printf '%-28s %5s %-24s %-24s%s\n' "$name" "$(wc -l <expected)" "$with" "$without" \
    "$([ "$crossing" = 1 ] && echo ' (up to the system'"'"'s callback)')"
  case "$with" in right*) right=$((right + 1)) ;; *)
    fail "$name: dbghelp's walk with frame data (true | with | without):"
    paste expected with-frames without-frames | head -40 ;; esac
  case "$without" in right*) rightWithout=$((rightWithout + 1)) ;; esac
  cd "$work" || exit 1
done
echo "dbghelp_walk: $right of $n dumps right with frame data, $rightWithout without"
[ "$failures" -eq 0 ]
