#!/usr/bin/env bash
# quillfen-cli pdb --bind on the test programs (the kept 64-bit ones and the
# 32-bit ones the build makes), then dbghelp (under Wine) asked for the
# function and line of every line-number address of each one's own
# source: they must be quillfen-cli symbolize's answers.
#   dbghelp_bound_test.sh CLI DBGHELP_CHECK WRAPPER MODULES-DIR|IMAGE,MAP,SOURCE,START...
# A MODULES-DIR holds CrashApp.exe and CrashLib.dll with their MAP files
# beside them (source CrashApp.c, CrashLib.c); IMAGE,MAP,SOURCE,START names
# another image (a stripped one, a real program's), its MAP file, the source
# file whose line numbers are asked, and where the MAP file's first segment
# starts (its line numbers' offsets are from there).
set -u
cli="$1" check="$2" wrapper="$3"
shift 3
source "$(dirname "$0")/../unit/wine_cli.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0 n=0
bind_and_ask() {  # IMAGE MAP SOURCE START
  local image="$1" map="$2" source="$3" start="$4"
  local module stem expected=() addresses
  module=$(basename "$image") stem="${module%.*}"
  cp "$image" "original-$module"
  q pdb "$map" --image "original-$module" -o "$stem.pdb" --bind "$module" || fail "$image: pdb --bind"
  addresses=$(awk -v unit="($source)" 'index($0, "Line numbers for ") == 1 { on = index($0, unit) > 0; next }
    on { for (i = 2; i <= NF; i += 2) if (sub(/^0001:/, "", $i)) print $i }' "$map" |
    while read -r offset; do printf '0x%X\n' $((0x$start + 0x$offset)); done)
  # 0x0000000140001999 Level3+0x40 (CrashApp) CrashApp.c:89
  while read -r address function _ place; do
    expected+=("$address" "${function%+0x*}" "${place%:*}" "${place##*:}")
  done < <(q symbolize "$map" $addresses)
  [ ${#expected[@]} -ge 40 ] || fail "$image: too few addresses (${#expected[@]})"
  run "$check" "$module" "${expected[@]}" || fail "$image: dbghelp's answers"
}
for arg in "$@"; do
  n=$((n + 1))
  mkdir "$n" && cd "$n" || exit 1
  if [ -d "$arg" ]; then
    for module in CrashApp.exe CrashLib.dll; do
      # The first segment's start (the segment table).
      start=$(awk '$1 ~ /^0001:/ { sub(/^0001:/, "", $1); print $1; exit }' "$arg/${module%.*}.map")
      bind_and_ask "$arg/$module" "$arg/${module%.*}.map" "${module%.*}.c" "$start"
    done
  else
    IFS=, read -r image map source start <<<"$arg"
    bind_and_ask "$image" "$map" "$source" "$start"
  fi
  cd "$work" || exit 1
done
[ "$failures" -eq 0 ]
