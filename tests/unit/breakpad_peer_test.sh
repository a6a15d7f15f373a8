#!/usr/bin/env bash
# Breakpad's own stack walker on the kept test dumps with the symbol store
# Quillfen exports: the npm package minidump (0.26.x, which ships Breakpad's
# minidump_stackwalk for Linux) is installed into the build folder, the
# modules of each dump are stored with db add-build (their images beside
# their MAP files) and exported with db export-breakpad, and a copy of the
# dump gets zero-GUID CodeView records naming its modules, as Crashpad writes
# them. Then, for every frame in the test programs' modules, Breakpad's
# function, file and line must be symbolize's at the same address (the
# instruction pointer for frame 0, the return address - 1 for the others),
# and every frame of the answers file must be Breakpad's frame of that number
# (for the x86 dump of tests/dumps/Frameless32, only with the stack rules
# the export writes from the image's analysis).
#   breakpad_peer_test.sh quillfen-cli add_codeview PEER-DIR CASE...
# A CASE is DUMP:ANSWERS:IMAGE[,IMAGE...] (each image's MAP file beside it).
# Exits with 77 (skipped) only when npm itself is missing.
set -u
cli="$1"
add_codeview="$2"
peer="$3"
shift 3
if ! command -v npm >/dev/null 2>&1; then
  echo "SKIP: npm is not installed, so Breakpad's minidump_stackwalk cannot be fetched (scripts/setup.sh installs nodejs and npm)"
  exit 77
fi
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
walker="$peer/node_modules/minidump/bin/linux-x64/minidump_stackwalk"
installed=$(sed -n 's/^ *"version": "\(.*\)",*$/\1/p' "$peer/node_modules/minidump/package.json" 2>/dev/null)
if [ ! -x "$walker" ] || [[ "$installed" != 0.26.* ]]; then
  mkdir -p "$peer"
  npm install --ignore-scripts --no-audit --no-fund --no-save --prefix "$peer" minidump@0.26 >"$peer/npm.log" 2>&1 ||
    { echo "FAIL npm install minidump@0.26:"; cat "$peer/npm.log"; exit 1; }
fi
[ -x "$walker" ] || { echo "FAIL $walker missing after npm install"; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The crashed thread's frames of the walker's text output: N|RIP|FOUND BY
# (EIP in an x86 dump).
frames() {
  local in=0 n="" rip="" found="" line
  while IFS= read -r line; do
    if [[ $line =~ ^Thread\ [0-9]+\ \(crashed\) ]]; then in=1; continue; fi
    [ $in = 1 ] || continue
    [[ $line =~ ^Thread\  ]] && break
    if [[ $line =~ ^\ *([0-9]+)\ \  ]]; then
      [ -n "$n" ] && echo "$n|$rip|$found"
      n=${BASH_REMATCH[1]} rip="" found=""
      continue
    fi
    [[ $line =~ [er]ip\ =\ 0x([0-9a-f]+) ]] && rip=${BASH_REMATCH[1]}
    [[ $line =~ Found\ by:\ (.*)$ ]] && found=${BASH_REMATCH[1]}
  done
  [ -n "$n" ] && echo "$n|$rip|$found"
}

# symbolize's answer as FUNCTION|FILE|LINE (empty where it has none).
quillfen_answer() {
  "$cli" symbolize "$1" --module "$2" --rva "$3" |
    sed -E -e 's/^0x[0-9A-F]+ //' -e 's/^\?\? /|/' -e 's/^(.*)\+0x[0-9A-F]+ \(/\1|(/' \
      -e 's/\|\(.*\) \?\?$/||/' -e 's/\|\(.*\) (.*):([0-9]+)$/|\1|\2/'
}

case_number=0
for case in "$@"; do
  case_number=$((case_number + 1))
  IFS=: read -r dump answers images <<<"$case"
  name=$(basename "$dump" .dmp)
  dir="$work/$case_number"
  mkdir -p "$dir"
  for f in "$dump" "$answers"; do [ -r "$f" ] || { fail "$name: $f missing"; continue 2; }; done
  declare -A mapOf=()
  for image in ${images//,/ }; do
    module=$(basename "$image")
    map="${image%.*}.map"
    mapOf[$module]="$map"
    "$cli" db --db "$dir/db" add-build "$image" "$map" >/dev/null || fail "$name: db add-build $module"
    # The image add-build keeps beside the MAP file gives the stack rules.
    stored=$(ls "$dir/db/${module%.*}/"*.map | head -n 1)
    [ -f "${stored%.map}.${module##*.}" ] || fail "$name: db add-build kept no image of $module"
  done
  "$cli" db --db "$dir/db" export-breakpad "$dir/symbols" >"$dir/export.out" || fail "$name: db export-breakpad"
  "$add_codeview" "$dump" "$dir/copy.dmp" >/dev/null || fail "$name: add_codeview"

  # Before: the walk without symbols.
  "$walker" "$dir/copy.dmp" >"$dir/before.txt" 2>/dev/null
  "$walker" "$dir/copy.dmp" "$dir/symbols" >"$dir/after.txt" 2>/dev/null || fail "$name: minidump_stackwalk"
  "$walker" -m "$dir/copy.dmp" "$dir/symbols" >"$dir/after.m" 2>/dev/null
  echo "$name: Breakpad's walk without symbols:"
  grep -E '^ *[0-9]+  |Found by' "$dir/before.txt" | sed -n '1,24p' | paste -d' ' - - | sed 's/^/  /'
  echo "$name: with the exported store:"
  frames <"$dir/after.txt" >"$dir/frames"
  crashed=$(awk -F'|' '$1 == "Crash" {print $4}' "$dir/after.m")
  declare -A baseOf=()
  while IFS='|' read -r _ module _ _ _ base _ _; do baseOf[$module]=$base; done < <(grep '^Module|' "$dir/after.m")

  # Every frame in the test program's modules: Breakpad's answer is Quillfen's.
  compared=0
  while IFS='|' read -r thread n module function file line _; do
    [ "$thread" = "$crashed" ] || continue
    rip=$(awk -F'|' -v n="$n" '$1 == n {print $2}' "$dir/frames")
    found=$(awk -F'|' -v n="$n" '$1 == n {print $3}' "$dir/frames")
    printf '  #%-2s 0x%016x %-14s %s%s (%s)\n' "$n" "0x$rip" "$module" "${function:-??}" \
      "${file:+ $file:$line}" "$found"
    [ -n "$module" ] && [ -n "${mapOf[$module]+x}" ] || continue
    at=$((0x$rip - ($n > 0 ? 1 : 0)))
    rva=$(printf '0x%X' $((at - ${baseOf[$module]})))
    want=$(quillfen_answer "${mapOf[$module]}" "$module" "$rva")
    if [ "$function|$file|$line" != "$want" ]; then
      fail "$name frame $n ($module+$rva): Breakpad says '$function|$file|$line', symbolize '$want'"
    fi
    compared=$((compared + 1))
  done < <(grep -E '^[0-9]+\|[0-9]+\|' "$dir/after.m")
  [ "$compared" -gt 0 ] || fail "$name: no frame in the test program's modules"

  # Every true frame, in its place.
  while read -r kind n address _; do
    got=$(awk -F'|' -v n="$n" '$1 == n {print $2}' "$dir/frames")
    if [ -z "$got" ] || [ $((0x$got)) -ne $((address)) ]; then
      fail "$name: frame $n should be $address, Breakpad has ${got:+0x}${got:-none}"
    fi
  done < <(grep -E '^(frame|caller) ' "$answers")
  echo "ok   $name: $compared frames named as symbolize names them, $(grep -cE '^(frame|caller) ' "$answers") true frames in place"
  unset mapOf baseOf
done
echo "failures: $failures"
[ "$failures" -eq 0 ]
