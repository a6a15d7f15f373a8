#!/usr/bin/env bash
# 64-bit dumps of 32-bit programs: dumptool.py wow64 lays the kept x86 dump of
# tests/dumps/Frameless32 out as a 64-bit tool writes it of a process under
# WOW64 (the 64-bit context stopped in wow64cpu.dll, the 32-bit one in the
# thread's CPU area); quillfen-cli shows its 32-bit view, the same frames as
# the 32-bit dump, through symbolize, symbolize --image and db symbolize;
# so does a thread stopped in 32-bit code, from its 64-bit context; --native,
# a CPU area outside the dump and one of another machine give the 64-bit
# frame; a dump without an exception walks every thread (made of the
# two-thread Windows XP dump of tests/dumps/windows-x86).
# Runs the native program, or the .exe one under Wine when WRAPPER is given.
#   wow64_cli_test.sh QUILLFEN-CLI DUMPS-DIR [WRAPPER]
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
made=1
for how in "" outside machine=0x01C4 in32; do
  python3 "$here/dumptool.py" wow64 frameless32.dmp "wow64${how%%=*}.dmp" $how || made=0
done
python3 "$here/dumptool.py" wow64 "$dumps/windows-x86/minidump2.dmp" hang.dmp hang || made=0
[ $made -eq 1 ] || fail "dumptool.py wow64 could not write the dumps"
expect "add-build Frameless32.exe" 0 q db --db db add-build Frameless32.exe
view='A 64-bit dump of a 32-bit process (WOW64): the 32-bit view is shown (--native shows the 64-bit one)'
none='A 64-bit dump of a 32-bit process (WOW64): no thread'"'"'s 32-bit state is in the dump; the 64-bit view is shown'
frame64='#0 0x0000000077A71CF3 wow64cpu.dll+0x1CF3'

# NAME|DUMP|ARGUMENTS|WANT: "same" (the view's line, then what the 32-bit dump
# gives), else lines the output holds, separated by "~".
while IFS='|' read -r name dump args want; do
  q $args --minidump "$dump" >out 2>err
  if [ "$want" = same ]; then
    q $args --minidump frameless32.dmp >out32 2>/dev/null
    if [ "$(cat out)" = "$view"$'\n'"$(cat out32)" ] && [ "$(wc -l <out32)" -gt 2 ]; then pass "$name"
    else fail "$name: not the 32-bit dump's frames"; diff out32 out; fi
    continue
  fi
  ok=1
  IFS='~' read -ra lines <<<"$want"
  for line in "${lines[@]}"; do grep -Fxq -- "$line" out || { fail "$name: no line \"$line\""; ok=0; }; done
  [ $ok -eq 0 ] && cat out err || pass "$name"
done <<TABLE
symbolize --scan|wow64.dmp|symbolize Frameless32.map --scan|same
symbolize --image|wow64.dmp|symbolize Frameless32.map --image Frameless32.exe|same
symbolize --image --scan --all-threads|wow64.dmp|symbolize Frameless32.map --image Frameless32.exe --scan --all-threads|same
db symbolize|wow64.dmp|db --db db symbolize|same
stopped in 32-bit code (CS 0x23)|wow64in32.dmp|symbolize Frameless32.map --image Frameless32.exe|same
--native|wow64.dmp|symbolize Frameless32.map --native|Exception 0xC0000005 (access violation) at 0x0000000000401608 in thread 3868: write to 0x0000000000000000~$frame64
db symbolize --native|wow64.dmp|db --db db symbolize --native|$frame64
a CPU area outside the dump|wow64outside.dmp|symbolize Frameless32.map|$none~Thread 3868 (64-bit view: its WOW64 CPU area at 0x7FFF00000000 is not in the dump's memory)~$frame64
a CPU area of another machine|wow64machine.dmp|symbolize Frameless32.map|$none~Thread 3868 (64-bit view: its WOW64 CPU area at 0x60004800 is of machine 0x1C4, not x86 (0x14C))~$frame64
no exception: every thread|hang.dmp|db --db db symbolize|$view~No exception in the dump; thread 3060~#2 0x00401DFF test_app.exe+0x1DFF~Thread 4544~#0 0x7C90EB94 ntdll.dll+0xEB94
TABLE

# JSON: wow64 at the top and per thread, the 32-bit dump's frames.
q symbolize Frameless32.map --json --minidump wow64.dmp >out.json
q symbolize Frameless32.map --json --minidump frameless32.dmp >out32.json
q symbolize Frameless32.map --json --all-threads --minidump wow64machine.dmp >machine.json
if python3 - <<'PY'; then pass "--json: wow64 at the top and per thread"; else fail "--json: wow64 at the top and per thread"; fi
import json
o, o32, m = (json.load(open(f)) for f in ("out.json", "out32.json", "machine.json"))
assert o["wow64"] and o["thread"] == {"id": 3868, "wow64": True} and o["frames"] == o32["frames"], o
assert o["modules"] == o32["modules"] and o["exception"] == o32["exception"], o
assert m["wow64"] and not m["thread"]["wow64"] and "machine 0x1C4" in m["thread"]["why_64_bit"], m
assert "wow64" not in o32, o32
PY

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
