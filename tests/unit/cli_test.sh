#!/usr/bin/env bash
# quillfen-cli lookup end to end: standard output, standard error and the
# exit status for each kind of answer.
#   cli_test.sh PATH-TO-quillfen-cli TESTDATA-DIR
set -u
cli="$1"
data="$2"
map="$data/small.map"
failures=0
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

source "$(dirname "${BASH_SOURCE[0]}")/cli_check.sh"

dpr='C:\Program Files (x86)\Demo\Main.dpr'

check "every address found" 0 \
"Loaded successfully (5 items)
Crash found in Engine.pas at line 11
Crash found in $dpr at line 5
Crash found in Engine.pas at line 12" "" -- \
  "$cli" lookup "$map" 0x00401115 401205 0X00401120

check "-- ends the options" 1 \
"Loaded successfully (5 items)
Crash found in Engine.pas at line 11
Invalid Crash Address" "" -- \
  "$cli" lookup "$map" -- 0x00401115 -0x401115

check "every kind of answer" 1 \
"Loaded successfully (5 items)
Crash Address not found in MAP file
Invalid Crash Address

Invalid Crash Address
Crash found in Engine.pas at line 10" "" -- \
  "$cli" lookup "$map" 0x00401125 0x00400FFF 4 "0x401100 " 0x401100

check "status only" 0 "Loaded successfully (5 items)" "" -- "$cli" lookup "$map"

check "file without line numbers" 1 \
"NOT Loaded (error)
Please load a MAP file first
Please load a MAP file first" "" -- \
  "$cli" lookup "$data/no-lines.map" 0x00401100 4

stdin_text=$'0x00401115\r\n401000\n\n0x00401210'
check "addresses from standard input" 1 \
"Loaded successfully (5 items)
Crash found in $dpr at line 5
Crash found in Engine.pas at line 11
Crash Address not found in MAP file

Crash found in $dpr at line 6
Crash found in Engine.pas at line 11" "" -- \
  "$cli" lookup "$map" 0x00401200 - 0x00401110
stdin_text=$'0x00401115\n0x00401205\n'
check "standard input, all found" 0 \
"Loaded successfully (5 items)
Crash found in Engine.pas at line 11
Crash found in $dpr at line 5" "" -- \
  "$cli" lookup "$map" -
unset stdin_text

missing="$data/no-such-file.map"
check "missing MAP file" 2 "" \
  "quillfen-cli: cannot open \"$missing\": No such file or directory" -- \
  "$cli" lookup "$missing" 0x00401115
(cd "$data" && check "missing MAP file, relative name" 2 "" \
  "quillfen-cli: cannot open \"$data/no-such-file.map\": No such file or directory" -- \
  "$cli" lookup no-such-file.map 0x00401115) || failures=$((failures + 1))
check "folder as MAP file" 2 "" "*" -- "$cli" lookup "$data" 0x00401115

# Usage errors: one line and a pointer to --help, never the whole help.
try="Try 'quillfen-cli --help'"
check "no arguments" 2 "" "quillfen-cli: a command is needed
$try" -- "$cli"
check "lookup without a MAP file" 2 "" "quillfen-cli: lookup: a MAP file is needed
$try" -- "$cli" lookup
check "unknown command" 2 "" "quillfen-cli: unknown command \"frobnicate\"
$try" -- "$cli" frobnicate
check "unknown option" 2 "" "quillfen-cli: unknown option \"--frobnicate\"
$try" -- "$cli" --frobnicate
check "unknown option of lookup, not an address" 2 "" "quillfen-cli: lookup: unknown option \"-x\"
$try" -- "$cli" lookup "$map" 0x00401115 -x
check "--version" 0 "quillfen-cli 1.0.0" "" -- "$cli" --version
check "--help after a command" 0 "$("$cli" --help)" "" -- "$cli" lookup "$map" --help

"$cli" --help >"$work/help" 2>&1
status=$?
if [ $status -eq 0 ] && grep -q 'lookup MAPFILE ADDRESS' "$work/help" && grep -q 'ADDRESS of -' "$work/help" \
   && grep -q 'Exit status' "$work/help"; then
  echo "ok   --help"
else
  echo "FAIL --help (exit status $status)"; cat "$work/help"; failures=$((failures + 1))
fi

echo "cli_test: $failures failed"
[ "$failures" -eq 0 ]
