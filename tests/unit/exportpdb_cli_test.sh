#!/usr/bin/env bash
# quillfen-cli db export-pdb on a store of the kept 64-bit modules (one build
# stored without its image): the symbol-server layout, the bound copies'
# identity and CodeView record (read back by breakpad --image) matching the
# folders they are filed in, and a second export that writes nothing.
#   exportpdb_cli_test.sh QUILLFEN-CLI DUMPS-DIR
set -u
cli="$1" dumps="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
source "$(dirname "${BASH_SOURCE[0]}")/cli_check.sh"
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

for exe in win64/CrashApp.exe win64/CrashLib.dll; do "$cli" db --db db add-build "$dumps/$exe" >/dev/null; done
"$cli" db --db db add-build --no-image "$dumps/Frameless/data/Frameless.exe" >/dev/null
noimage="quillfen-cli: db export-pdb: project Frameless, version 1.2.0.26: no stored image; left out (a PDB needs the build's image)"
"$cli" db --db db export-pdb symbols >written 2>err || fail "export: exit status $?"
[ "$(cat err)" = "$noimage" ] || fail "export: standard error: $(cat err)"
[ "$(sort written)" = "$({ find symbols -type f; echo "4 files written, 0 files left as they were"; } | sort)" ] ||
  fail "export: standard output: $(cat written)"
for module in CrashApp.exe CrashLib.dll; do
  stem="${module%.*}"
  # MODULE windows x86_64 DEBUGID NAME.pdb / INFO CODE_ID KEY: the bound copy's.
  bound=$(ls symbols/"$module"/*/"$module")
  read -r _ _ _ id pdb < <("$cli" breakpad "$dumps/win64/$stem.map" --image "$bound" | head -n 1)
  key=$("$cli" breakpad "$dumps/win64/$stem.map" --image "$dumps/win64/$module" | sed -n 's/^INFO CODE_ID \([^ ]*\).*/\1/p')
  [ "$bound" = "symbols/$module/$key/$module" ] || fail "$module filed as $bound, its key is $key"
  [ "$("$cli" breakpad "$dumps/win64/$stem.map" --image "$bound" | sed -n 's/^INFO CODE_ID \([^ ]*\).*/\1/p')" = "$key" ] ||
    fail "$module: the bound copy's identity differs from the original's"
  [ "$pdb" = "$stem.pdb" ] && [ -s "symbols/$stem.pdb/$id/$stem.pdb" ] || fail "$module names $pdb $id, not a PDB exported"
done
check "a second export writes nothing" 0 "0 files written, 4 files left as they were" "$noimage" -- \
  "$cli" db --db db export-pdb symbols
[ "$(find symbols -type f | wc -l)" -eq 4 ] || fail "files besides the four: $(find symbols -type f)"
check "one version" 0 "0 files written, 2 files left as they were" "" -- "$cli" db --db db export-pdb symbols CrashLib 2.7.1.8
[ "$failures" -eq 0 ]
