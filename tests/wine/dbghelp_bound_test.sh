#!/usr/bin/env bash
# quillfen-cli pdb --bind on the test programs (the kept 64-bit ones and the
# 32-bit ones the build makes), then dbghelp (under Wine) asked for the
# function and line of every line-number address of each one's own
# source: they must be quillfen-cli symbolize's answers.
#   dbghelp_bound_test.sh CLI DBGHELP_CHECK WRAPPER MODULES-DIR...
set -u
cli="$1" check="$2" wrapper="$3"
shift 3
source "$(dirname "$0")/../unit/wine_cli.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0 n=0
for dir in "$@"; do
  n=$((n + 1))
  mkdir "$n" && cd "$n" || exit 1
  for module in CrashApp.exe CrashLib.dll; do
    stem="${module%.*}" expected=()
    q pdb "$dir/$stem.map" --image "$dir/$module" -o "$stem.pdb" --bind "$module" || fail "$dir/$module: pdb --bind"
    # The first segment's start (the segment table), then the line numbers' offsets in it.
    start=$(awk '$1 ~ /^0001:/ { sub(/^0001:/, "", $1); print $1; exit }' "$dir/$stem.map")
    addresses=$(awk -v unit="($stem.c)" 'index($0, "Line numbers for ") == 1 { on = index($0, unit) > 0; next }
      on { for (i = 2; i <= NF; i += 2) if (sub(/^0001:/, "", $i)) print $i }' "$dir/$stem.map" |
      while read -r offset; do printf '0x%X\n' $((0x$start + 0x$offset)); done)
    # 0x0000000140001999 Level3+0x40 (CrashApp) CrashApp.c:89
    while read -r address function _ place; do
      expected+=("$address" "${function%+0x*}" "${place%:*}" "${place##*:}")
    done < <(q symbolize "$dir/$stem.map" $addresses)
    [ ${#expected[@]} -ge 40 ] || fail "$dir/$module: too few addresses (${#expected[@]})"
    run "$check" "$module" "${expected[@]}" || fail "$dir/$module: dbghelp's answers"
  done
  cd "$work" || exit 1
done
[ "$failures" -eq 0 ]
