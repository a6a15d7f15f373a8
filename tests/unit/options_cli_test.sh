#!/usr/bin/env bash
# quillfen-cli's option table against the command reference: every option of
# the table is documented there and no other is; then the help made from it
# and the parser every command shares.
#   options_cli_test.sh PATH-TO-quillfen-cli SOURCE-DIR PATH-TO-make_pe_image
set -u
cli="$1"
src="$2"
make_pe="$3"
failures=0
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/cli_check.sh"

# The reference: docs/commands.md, else the README's section "## quillfen-cli".
if [ -f "$src/docs/commands.md" ]; then
  cat "$src/docs/commands.md"
else
  awk '/^## /{ on = ($0 == "## quillfen-cli") } on' "$src/README.md"
fi >"$work/reference"
# The options a text documents: in prose every --name and -x; in a shell
# example only what follows quillfen-cli (up to a pipe), not other tools'.
options_of() {
  awk '/^\$ /{ if (!sub(/.*quillfen-cli/, "")) next; sub(/\|.*/, "") } { print }' "$1" |
    grep -oE -- '(^|[^A-Za-z0-9_-])(--[a-z][a-z0-9-]*|-[a-z])([^A-Za-z0-9_-]|$)' |
    grep -oE -- '-?-[a-z][a-z0-9-]*' | sort -u
}
"$cli" help --options | awk '{ print $NF }' | sort -u >"$work/table"
"$cli" --help >"$work/help"
for text in reference help; do
  options_of "$work/$text" >"$work/documented"
  check "every option of the table is in the $text" 0 "" "" -- comm -23 "$work/table" "$work/documented"
  check "the $text documents no other option" 0 "" "" -- comm -13 "$work/table" "$work/documented"
done

# Each command's help, both ways; the whole text stays behind --help alone.
while IFS='|' read -r name words; do
  "$cli" help $name >"$work/want"
  check "$name --help is help $name" 0 "$(cat "$work/want")" "" -- "$cli" $words --help
done <<'EOF'
lookup|lookup
symbolize|symbolize
db|db --db d
db add-build|db --db=d add-build
pdb|pdb
EOF
check "the help names its options" 0 "  --no-image      keeps the build's identity but not the executable" "" -- \
  bash -c "\"$cli\" help db add-build | grep -e --no-image"
check "help of an unknown command" 2 "" "quillfen-cli: help: unknown command \"db frob\"
Try 'quillfen-cli --help'" -- "$cli" help db frob

# One parser: --name=VALUE wherever --name VALUE works, one wording of errors.
mkdir -p "$work/db/Demo"
check "db --db=DIR" 0 "Demo" "" -- "$cli" db --db="$work/db" projects
"$make_pe" "$work/App.exe" pe32 1.2.3.4 >/dev/null && cp "$src/tests/data/small.map" "$work/App.map"
check "db add-build --project=NAME" 0 "$work/db/Foo/1.2.3.4.map" "" -- \
  "$cli" db --db "$work/db" add-build --project=Foo --no-image "$work/App.exe"
check "db add-build --project=" 2 "" "quillfen-cli: db add-build: --project needs a name
Try 'quillfen-cli --help'" -- "$cli" db --db "$work" add-build --project= App.exe
check "a flag takes no value" 2 "" "quillfen-cli: pdb: --force takes no value
Try 'quillfen-cli --help'" -- "$cli" pdb A.map --force=yes

echo "options_cli_test: $failures failed"
[ "$failures" -eq 0 ]
