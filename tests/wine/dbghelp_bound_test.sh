#!/usr/bin/env bash
# The kept 64-bit modules' PDBs written and their images bound by quillfen-cli
# pdb --bind, then dbghelp (Wine's, loading each bound copy) asked for the
# function and source line of the crash's frames, which must be what
# quillfen-cli symbolize answers from the MAP file.
#   dbghelp_bound_test.sh CLI DBGHELP_CHECK DUMPS_DIR WRAPPER
set -u
cli="$1" check="$2" dumps="$3" wrapper="$4"
source "$(dirname "$0")/../unit/wine_cli.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
answers="$dumps/win64/crash64.answers"
for module in CrashApp.exe CrashLib.dll; do
  stem="${module%.*}"
  mkdir "$stem"
  if ! q pdb "$dumps/win64/$stem.map" --image "$dumps/win64/$module" -o "$stem/$stem.pdb" --bind "$stem/$module"; then
    fail "$module: pdb --bind"; continue
  fi
  base=$(awk -v m="$module" '$1 == "module" && $2 == m { print $6 }' "$answers")
  expected=()
  for rva in $(awk -v m="$module" '$1 == "frame" && $4 == m { print $5 }' "$answers"); do
    # "0x... Level3+0x19 (CrashApp) CrashApp.c:88"
    read -r _ function _ place < <(q symbolize "$dumps/win64/$stem.map" "$(printf '0x%X' $((base + rva)))")
    expected+=("$rva" "${function%+0x*}" "${place%:*}" "${place##*:}")
  done
  [ ${#expected[@]} -gt 0 ] || { fail "$module: no frames in $answers"; continue; }
  if run "$check" "$stem/$module" "${expected[@]}"; then pass "$module: dbghelp reads the PDB"; else fail "$module: dbghelp"; fi
done
[ "$failures" -eq 0 ]
