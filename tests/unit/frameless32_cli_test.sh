#!/usr/bin/env bash
# The walk of the kept x86 dump of tests/dumps/Frameless32 (-O2
# -fomit-frame-pointer, written in an emulator) with the program's image:
# every true frame of frameless32.answers in order, named as addr2line
# names it, frame 0 from the context and every other one found by
# analysis, and no other frame; through symbolize --image and through
# db symbolize with the image db add-build keeps.
# Runs the native program, or the .exe one under Wine when WRAPPER is given.
#   frameless32_cli_test.sh QUILLFEN-CLI DUMPS-DIR [WRAPPER]
set -u
cli="$1" dumps="$2" wrapper="${3:-}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
# Relative paths only: the same under Wine.
cp "$dumps"/Frameless32/data/* "$work/"
cd "$work"
source "$here/wine_cli.sh"

# The frame lines the answers give, as patterns: the MAP file names the
# stdcall and fastcall functions without their decoration, the assembly
# body without a symbol of its own by the public before it, without a line.
awk '$1 == "frame" {
  fn = $6; sub(/^@/, "", fn); sub(/@[0-9]+$/, "", fn)
  unit = $7; sub(/\.[a-z]+$/, "", unit)
  where = $7 ":" $8; gsub(/\./, "\\.", where)
  if (fn == "??") { fn = "[A-Za-z]+"; unit = "Frameless32"; where = "\\?\\?" }
  printf "^#%s %s %s\\+%s %s\\+0x[0-9A-F]+ \\(%s\\) %s$\n", $2, $3, $4, $5, fn, unit, where
}' frameless32.answers >want
# FRAME ADDRESS FOUND_BY, as the JSON should give them.
awk '$1 == "frame" { print $2, $3, ($2 == 0 ? "context" : "analysis") }' frameless32.answers >want.json
[ "$(wc -l <want)" -ge 11 ] || fail "frameless32.answers holds $(wc -l <want) frames, at least 11 expected"

check_text() {
  grep '^#' out >got
  if [ "$(wc -l <got)" -ne "$(wc -l <want)" ]; then
    fail "$1: $(wc -l <got) frames, expected $(wc -l <want)"; cat out; return
  fi
  local ok=1
  while IFS= read -r pattern && IFS= read -r line <&3; do
    [[ $line =~ $pattern ]] || { fail "$1: \"$line\" does not match $pattern"; ok=0; }
  done <want 3<got
  [ $ok -eq 1 ] && pass "$1: every true frame, in order, named"
}
check_json() {
  grep -o '"frame":[0-9]*,"address":"0x[0-9A-F]*","module":"[^"]*","module_offset":[0-9]*,"found_by":"[a-z_]*"' out |
    sed -E 's/"frame":([0-9]+),"address":"([^"]+)".*"found_by":"([a-z_]+)"/\1 \2 \3/' >got.json
  if diff want.json got.json >diff.txt; then pass "$1: found by analysis, no other frame"
  else fail "$1: frames (want < > got):"; cat diff.txt; fi
}

if expect "symbolize --image" 0 q symbolize Frameless32.map --image Frameless32.exe --minidump frameless32.dmp; then
  check_text "symbolize --image"
fi
if expect "symbolize --image --json" 0 q symbolize Frameless32.map --image Frameless32.exe --json --minidump frameless32.dmp; then
  check_json "symbolize --image --json"
fi
expect "add-build Frameless32.exe" 0 q db --db db add-build Frameless32.exe
if expect "db symbolize" 0 q db --db db symbolize --minidump frameless32.dmp; then
  check_text "db symbolize"
fi
if expect "db symbolize --json" 0 q db --db db symbolize --json --minidump frameless32.dmp; then
  check_json "db symbolize --json"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
