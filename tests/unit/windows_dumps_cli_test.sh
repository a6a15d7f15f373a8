#!/usr/bin/env bash
# quillfen-cli on real 32-bit minidumps written by Windows itself
# (tests/dumps/windows-x86, see its README): Windows XP and Windows 7, a
# program at its preferred base and one moved by ASLR, reads, writes and a
# stack overflow. The walks are those of Breakpad's own minidump_stackwalk
# (minidump2.stackwalk.out, and its count of 246 frames for the stack
# overflow); the programs have no MAP file, so the test writes one for
# test_app.exe's code with the functions and lines Breakpad names.
# Runs the native program, or the .exe one under Wine when WRAPPER is given.
#   windows_dumps_cli_test.sh QUILLFEN-CLI DUMPS-DIR [WRAPPER]
set -u
cli="$1" dumps="$2" wrapper="${3:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$dumps"/*.dmp "$work/"
cd "$work"
failures=0
source "$(dirname "${BASH_SOURCE[0]}")/wine_cli.sh"
q() {  # standard error in err, without the CR of the Windows program's line ends
  local status
  run "$cli" "$@" 2>err
  status=$?
  tr -d '\r' <err >err.txt && mv err.txt err
  return $status
}
check() {  # check NAME CONDITION...
  local name="$1"; shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

# test_app.exe at 0x00400000: main calls CrashFunction (test_app.cc), and
# __tmainCRTStartup (crt0.c) calls main; the lines start where Breakpad's
# "LINE + OFFSET" places them.
cat >test_app.map <<'MAP'

 Start         Length     Name                   Class
 0001:00401000 0002B000H .text                   CODE

Detailed map of segments

 0001:00003000 00001000 C=CODE     S=.text    G=(none)   M=test_app ACBP=A9
 0001:00004000 00001000 C=CODE     S=.text    G=(none)   M=crt0     ACBP=A9

  Address             Publics by Value

 0001:000031E0       main
 0001:00003290       CrashFunction
 0001:00004240       __tmainCRTStartup

Line numbers for test_app(test_app.cc) segment .text

    63 0001:000031E0    65 0001:000031FB    66 0001:00003205    56 0001:00003290
    58 0001:0000329B    59 0001:000032A5

Line numbers for crt0(crt0.c) segment .text

   320 0001:00004240   327 0001:000043DA   328 0001:000043F0

MAP

want='Exception 0xC0000005 (access violation) at 0x0040429E in thread 3060: write to 0x00000045
#0 0x0040429E test_app.exe+0x429E CrashFunction+0xE (test_app) test_app.cc:58
#1 0x00404200 test_app.exe+0x4200 main+0x20 (test_app) test_app.cc:65
#2 0x004053EC test_app.exe+0x53EC __tmainCRTStartup+0x1AC (crt0) crt0.c:327
#3 0x7C816FD7 kernel32.dll+0x16FD7'
q symbolize test_app.map --module test_app.exe --minidump minidump2.dmp >out
check "Windows XP: Breakpad's four frames, named from the MAP file" [ "$(cat out)" = "$want" ]
q symbolize test_app.map --module test_app.exe --json --minidump minidump2.dmp >out
check "Windows XP --json: how each frame was found" python3 -c '
import json, sys
o = json.load(open("out"))
assert [f["found_by"] for f in o["frames"]] == ["context"] + ["frame_pointer"] * 3, o["frames"]
m = {m["name"]: m for m in o["modules"]}
assert (m["test_app.exe"]["base"], m["test_app.exe"]["size"], m["test_app.exe"]["version"]) == ("0x00400000", 0x2D000, None)
assert m["kernel32.dll"]["version"] == "5.1.2600.2945" and len(m) == 13, m'

# The store: the program has no version resource, --build-version names it.
q db --db db add test_app 1.0 test_app.map >/dev/null
q db --db db symbolize --build-version 1.0 --minidump minidump2.dmp >out
check "Windows XP, db symbolize --build-version" [ "$(cat out)" = "$want" ]

# Windows 7, crashme.exe moved by ASLR: the exception and frame 0 in the
# program at its load base.
while IFS='|' read -r dump exception frame0; do
  q symbolize test_app.map --module crashme.exe --minidump "$dump" >out
  check "$dump: $exception" [ "$(grep -v '^warning: ' out | head -n 1)" = "$exception" ]
  check "$dump: frame 0" grep -q "^#0 $frame0 ??\$\|^#0 $frame0 " out
done <<'TABLE'
ascii_read_av.dmp|Exception 0xC0000005 (access violation) at 0x00D6A6CD in thread 4204: read of 0x41414141|0x00D6A6CD crashme.exe+0xA6CD
null_read_av.dmp|Exception 0xC0000005 (access violation) at 0x0090A6CD in thread 1192: read of 0x00000000|0x0090A6CD crashme.exe+0xA6CD
write_av_non_null.dmp|Exception 0xC0000005 (access violation) at 0x00C11097 in thread 10912: write to 0x0004E3C9|0x00C11097 crashme.exe+0x1097
stack_exhaustion.dmp|Exception 0xC00000FD (stack overflow) at 0x00DEA637 in thread 5744|0x00DEA637 crashme.exe+0xA637
TABLE
q symbolize test_app.map --module crashme.exe --minidump stack_exhaustion.dmp >out
check "stack overflow: the chain of 246 frames, into ntdll.dll" \
  [ "$(grep -v '^warning: ' out | tail -n +2 | wc -l)" = 246 -a "$(tail -n 1 out)" = "#245 0x772E9D15 ntdll.dll+0x39D15" ]

# A 32-bit dump cut short inside its thread list: an error, nothing printed.
head -c 2000 minidump2.dmp >cut.dmp
q symbolize test_app.map --module test_app.exe --minidump cut.dmp >out
check "a cut dump: an error, nothing printed" \
  grep -q '^quillfen-cli: "cut.dmp": damaged minidump: .* lies past the end of the file$' err

echo "windows_dumps_cli_test: $failures failed"
[ "$failures" -eq 0 ]
