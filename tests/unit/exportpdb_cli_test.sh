#!/usr/bin/env bash
# quillfen-cli db export-pdb on a store of the kept 64-bit modules and one
# build without its image: the layout, the bound copies filed under their
# originals' identity and naming the PDB filed beside (read back by breakpad
# --image), and a second export that writes nothing.
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
  # MODULE windows x86_64 ID NAME.pdb, INFO CODE_ID KEY NAME
  info() { "$cli" breakpad "$dumps/win64/${module%.*}.map" --image "$1" | head -n 2 | tr '\n' ' '; }
  read -r _ _ _ id pdb _ _ key _ < <(info "$dumps/win64/$module")
  read -r _ _ _ id pdb _ _ boundKey _ < <(info "symbols/$module/$key/$module")
  [ "$boundKey" = "$key" ] && [ -s "symbols/$pdb/$id/$pdb" ] || fail "$module: $boundKey $pdb $id not as filed"
done
check "a second export writes nothing" 0 "0 files written, 4 files left as they were" "$noimage" -- \
  "$cli" db --db db export-pdb symbols
check "--no-demangle (C names: the same files)" 0 "0 files written, 4 files left as they were" "$noimage" -- \
  "$cli" db --db db export-pdb --no-demangle symbols
check "one version" 0 "0 files written, 2 files left as they were" "" -- "$cli" db --db db export-pdb symbols CrashLib 2.7.1.8
[ "$failures" -eq 0 ]
