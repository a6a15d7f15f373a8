#!/usr/bin/env bash
# quillfen-cli db against a real database folder: listings, the add flow's
# messages and exit codes, lookup with the browser's status prefix, and the
# default folder beside the executable.
#   db_cli_test.sh PATH-TO-quillfen-cli
set -u
cli="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0

source "$(dirname "${BASH_SOURCE[0]}")/cli_check_files.sh"

db() { "$cli" db --db "$work/db" "$@"; }

printf 'Line numbers for Engine(Engine.pas) segment .text\n\n    10 0001:00000100    11 0001:00000110    12 0001:00000120\n\n' > good.map
printf 'no line numbers here\n' > empty.map

check "empty database" 2 "" "quillfen-cli: no database at $work/db" db projects
test -d db && { echo "FAIL: the root folder was created"; failures=$((failures + 1)); }
check "empty tree" 2 "" "quillfen-cli: no database at $work/db" db tree

check "add" 0 "$work/db/Demo/2.1.map" "" db add Demo 2.1 good.map
cmp -s good.map db/Demo/2.1.map || { echo "FAIL: the stored file differs"; failures=$((failures + 1)); }
check "add in another case" 0 "$work/db/Demo/Release.map" "" db add demo Release good.map
test -f db/Demo/Release.map || { echo "FAIL: not stored in the existing folder"; failures=$((failures + 1)); }
check "existing version" 1 "" "quillfen-cli: This version already exists" db add DEMO RELEASE good.map
check "invalid MAP file" 1 "" "quillfen-cli: Invalid MAP file" db add Demo 3 empty.map
check "unreadable MAP file" 2 "" "quillfen-cli: cannot open \"$work/missing.map\": No such file or directory" \
  db add Demo 3 missing.map
check "empty project" 1 "" "quillfen-cli: Invalid project name" db add "" "" good.map
check "empty version" 1 "" "quillfen-cli: Invalid version name" db add Demo "" good.map
check "unsafe project" 1 "" "quillfen-cli: db add: the project name \"..\" names a folder itself, not a name of its own" db add .. 3 good.map
check "unsafe version" 1 "" "quillfen-cli: db add: the version name \"../3\" begins with \".\", which the listings leave out" db add Demo ../3 good.map
test -e db/3.map && { echo "FAIL: stored outside the project"; failures=$((failures + 1)); }
touch db/readme.txt
check "plain file as project" 1 "" "quillfen-cli: cannot create the folder \"$work/db/readme.txt\": File exists" db add readme.txt 1 good.map
mkdir db/Empty db/.svn
mv db/Demo/Release.map db/Demo/Release.MAP
check "invalid MAP file comes first" 1 "" "quillfen-cli: Invalid MAP file" db add "" "" empty.map

check "versions" 0 "$(printf '2.1.map\nrelease.map')" "" bash -c "\"$cli\" db --db \"$work/db\" versions demo | sort"
check "versions of a plain file" 0 "" "" db versions readme.txt
check "projects" 0 "$(printf 'Demo\nEmpty\nreadme.txt')" "" bash -c "\"$cli\" db --db \"$work/db\" projects | sort"
# The tree: reversed listing, only projects with versions.
mkdir db/Other && cp good.map db/Other/1.0.map
listed="$(db projects | grep -E '^(Demo|Other)$' | tac)"
expected=""
for p in $listed; do
  expected+="$p"$'\n'
  while read -r v; do expected+="  $v"$'\n'; done < <(db versions "$p")
done
check "tree" 0 "${expected%$'\n'}" "" db tree

check "lookup" 0 "$(printf 'Demo v2.1 : Loaded successfully (3 items)\nCrash found in Engine.pas at line 11')" "" \
  db lookup Demo 2.1 0x401115
check "lookup of a listed name" 1 \
  "$(printf 'DEMO vrelease : Loaded successfully (3 items)\nCrash Address not found in MAP file')" "" \
  db lookup DEMO release.MAP 0x500000
check "lookup of a missing version" 1 "" \
  "quillfen-cli: db lookup: no stored version 9 of project Demo; stored versions: 2.1, release" db lookup Demo 9

try="Try 'quillfen-cli --help'"
check "no subcommand" 2 "" "$(printf 'quillfen-cli: db: a subcommand is needed\n%s' "$try")" db
check "unknown subcommand" 2 "" \
  "$(printf 'quillfen-cli: db: unknown subcommand "remove"\n%s' "$try")" db remove
check "add with too few arguments" 2 "" \
  "$(printf 'quillfen-cli: db: add needs PROJECT VERSION MAPFILE\n%s' "$try")" db add Demo 1
check "unknown option of a subcommand" 2 "" \
  "$(printf 'quillfen-cli: db tree: unknown option "--all"\n%s' "$try")" db tree --all

# symbolize on a stored version: this file has line numbers (db add takes it)
# but no segment table, which symbolize needs (the real answers are tested
# with real MAP files in symbolize_cli_test.sh).
check "symbolize without a segment table" 2 "" \
  "quillfen-cli: db symbolize: $work/db/Demo/release.map is not a MAP file with a segment table" \
  db symbolize demo release --json 0x500000
check "symbolize without a version" 2 "" \
  "$(printf 'quillfen-cli: db: symbolize needs PROJECT VERSION\n%s' "$try")" db symbolize Demo --rva

# Without --db the folder "db" beside the executable is used.
mkdir bin && cp "$cli" bin/
check "default folder" 0 "bin/db/P/1.map" "" bash -c "cd \"$work\" && bin/$(basename "$cli") db add P 1 good.map | sed \"s|^$work/||\""
test -f bin/db/P/1.map || { echo "FAIL: default folder not used"; failures=$((failures + 1)); }

# "--" ends the options: a project whose name starts with "-".
check "-- before a name starting with -" 0 "$work/db/-Dash/1.0.map" "" db add -- -Dash 1.0 good.map
check "versions after --" 0 "1.0.map" "" db versions -- -Dash
check "an option before --" 2 "" "quillfen-cli: db versions: unknown option \"-Dash\"
Try 'quillfen-cli --help'" db versions -Dash
check "db symbolize after --" 2 "" \
  "quillfen-cli: db symbolize: $work/db/-Dash/1.0.map is not a MAP file with a segment table" \
  db symbolize -- -Dash 1.0 0x401100

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all db cli checks passed"
