#!/usr/bin/env bash
# quillfen-cli pdb --bind on the kept 64-bit modules, then dbghelp (under
# Wine) asked for the crash frames' functions and lines in each bound copy:
# they must be quillfen-cli symbolize's answers.
#   dbghelp_bound_test.sh CLI DBGHELP_CHECK DUMPS_DIR WRAPPER
set -u
cli="$1" check="$2" dumps="$3/win64" wrapper="$4"
source "$(dirname "$0")/../unit/wine_cli.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
for module in CrashApp.exe CrashLib.dll; do
  stem="${module%.*}" expected=()
  q pdb "$dumps/$stem.map" --image "$dumps/$module" -o "$stem.pdb" --bind "$module" || fail "$module: pdb --bind"
  base=$(awk -v m="$module" '$1 == "module" && $2 == m { print $6 }' "$dumps/crash64.answers")
  for rva in $(awk -v m="$module" '$1 == "frame" && $4 == m { print $5 }' "$dumps/crash64.answers"); do
    read -r _ function _ place < <(q symbolize "$dumps/$stem.map" "$(printf '0x%X' $((base + rva)))")
    expected+=("$rva" "${function%+0x*}" "${place%:*}" "${place##*:}")  # Level3+0x40 (CrashApp) CrashApp.c:89
  done
  [ ${#expected[@]} -ge 8 ] || fail "$module: too few frames"
  run "$check" "$module" "${expected[@]}" || fail "$module: dbghelp's answers"
done
[ "$failures" -eq 0 ]
