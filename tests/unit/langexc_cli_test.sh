#!/usr/bin/env bash
# Language exceptions in the kept dumps of tests/dumps/LangExc (DelphiRaise.exe
# raising as the Delphi and C++Builder run-times do, FpcRaise.exe through Free
# Pascal's run-time; each a MiniDumpNormal and a cut full-memory dump): the
# exception line and the raising frame; the class from the image where the
# dump holds the object but not the class table, never from an image of
# another build; the JSON; the raise frame found by "exception" and the walk
# from the run-time's registers where the walk from the context cannot reach
# it; the run-time's notification codes named.
# Runs the native program, or the .exe one under Wine when WRAPPER is given.
#   langexc_cli_test.sh QUILLFEN-CLI DUMPS-DIR [WRAPPER]
set -u
cli="$1" dumps="$2" wrapper="${3:-}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
cp "$dumps"/LangExc/data/* "$work/"
cd "$work"
source "$here/wine_cli.sh"
tool() { python3 "$here/dumptool.py" "$@"; }

# Made of the kept dumps: the full dump without the image's memory (the
# object and its message only: the class table from --image); an image of
# another build; the context's EBP lost (the walk ends in kernelbase.dll);
# a re-raise notification.
tool trim delphi2009_full.dmp delphi2009_full-heap.dmp noimage $(awk '$1 == "object" || $1 == "message" { print $2 }' delphi2009_full.output)
tool restamp DelphiRaise.exe Other.exe 12345678
tool context delphi2009_full.dmp delphi2009_full-noebp.dmp B4 0
tool code delphi2009.dmp delphi2009-reraise.dmp 0EEDFADF
# The raising thread's id, as the program printed it (of a dump made of
# another: of that one).
thread_of() { awk '$1 == "thread" { print $2 }' "${1%%[-.]*}.output"; }

d2009="raised at: 0x0040183D DelphiRaise.exe+0x183D StrToIntStep+0x4C (DelphiRaise) DelphiRaise.c:142"
d2007="raised at: 0x004018B3 DelphiRaise.exe+0x18B3 OpenStep+0x59 (DelphiRaise) DelphiRaise.c:152"
cpp="raised at: 0x00401916 DelphiRaise.exe+0x1916 CppStep+0x40 (DelphiRaise) DelphiRaise.c:162"
fpc='raised at: 0x00411E09 FpcRaise.exe+0x11E09 SYSUTILS_$$_STRTOINT$ANSISTRING$$LONGINT+0x29 (??) ??'
fpcopen='raised at: 0x0041904B FpcRaise.exe+0x1904B CLASSES$_$TFILESTREAM_$__$$_CREATE$ANSISTRING$WORD$LONGWORD$$TFILESTREAM+0x10B (??) ??'
noobject="class unknown: the dump does not hold the exception object"
# name|MAP|dump|options|first line|second line (@: the dump's thread)
while IFS='|' read -r name map dump options first second; do
  # shellcheck disable=SC2086
  expect "$name" 0 q symbolize "$map" --minidump "$dump" $options || continue
  first=${first//@/$(thread_of "$dump")}
  got=$(head -2 out)
  if [ "$got" = "$first
$second" ]; then pass "$name"; else fail "$name: got"; printf '%s\n' "$got"; fi
done <<ROWS
Delphi 2009, normal|DelphiRaise.map|delphi2009.dmp||Exception 0x0EEDFADE (Delphi exception; $noobject) raised at 0x0040183D in thread @|$d2009
Delphi 2009, full memory|DelphiRaise.map|delphi2009_full.dmp||Exception EConvertError ('abc' is not a valid integer value) raised at 0x0040183D in thread @|$d2009
Delphi 2009, the class table from the image|DelphiRaise.map|delphi2009_full-heap.dmp|--image DelphiRaise.exe|Exception EConvertError ('abc' is not a valid integer value) raised at 0x0040183D in thread @|$d2009
Delphi 2009, without the image|DelphiRaise.map|delphi2009_full-heap.dmp||Exception 0x0EEDFADE (Delphi exception; class unknown: neither the dump nor an image of the module holds the class table) raised at 0x0040183D in thread @|$d2009
Delphi 2009, an image of another build|DelphiRaise.map|delphi2009_full-heap.dmp|--image Other.exe|Exception 0x0EEDFADE (Delphi exception; class unknown: neither the dump nor an image of the module holds the class table) raised at 0x0040183D in thread @|$d2009
Delphi 2007, normal|DelphiRaise.map|delphi2007.dmp|--image DelphiRaise.exe|Exception 0x0EEDFADE (Delphi exception; $noobject) raised at 0x004018B3 in thread @|$d2007
Delphi 2007, full memory|DelphiRaise.map|delphi2007_full.dmp||Exception EFOpenError (Cannot open file "C:\\missing.ini". The system cannot find the file specified) raised at 0x004018B3 in thread @|$d2007
C++Builder, normal|DelphiRaise.map|cppbuilder.dmp||Exception 0x0EEFFACE (C++Builder exception; class unknown: the dump does not hold the thrown type's name) raised at 0x00401916 in thread @|$cpp
C++Builder, the type's name from the image|DelphiRaise.map|cppbuilder.dmp|--image DelphiRaise.exe|Exception std::runtime_error raised at 0x00401916 in thread @|$cpp
C++Builder, full memory|DelphiRaise.map|cppbuilder_full.dmp||Exception std::runtime_error raised at 0x00401916 in thread @|$cpp
Free Pascal, normal|FpcRaise.map|fpc.dmp||Exception 0xE0465043 (Free Pascal exception; $noobject) raised at 0x00411E09 in thread @|$fpc
Free Pascal, full memory|FpcRaise.map|fpc_full.dmp||Exception EConvertError ("abc" is an invalid integer) raised at 0x00411E09 in thread @|$fpc
Free Pascal TFileStream, normal|FpcRaise.map|fpcopen.dmp||Exception 0xE0465043 (Free Pascal exception; $noobject) raised at 0x0041904B in thread @|$fpcopen
Free Pascal TFileStream, full memory|FpcRaise.map|fpcopen_full.dmp||Exception EFOpenError (Unable to open file "C:\\missing.ini": File not found.) raised at 0x0041904B in thread @|$fpcopen
re-raise notification, named only|DelphiRaise.map|delphi2009-reraise.dmp||Exception 0x0EEDFADF (Delphi re-raise) at 0x7B012866 in thread @|#0 0x7B012866 kernelbase.dll+0x12866
ROWS

# JSON: what was raised, where, and the parents up to Exception.
while IFS='|' read -r name map dump want; do
  expect "$name" 0 q symbolize "$map" --json --minidump "$dump" || continue
  if grep -qF "$want" out; then pass "$name"; else fail "$name: no $want in"; cat out; fi
done <<'ROWS'
JSON, Delphi 2007|DelphiRaise.map|delphi2007_full.dmp|"language_exception":{"kind":"delphi","class":"EFOpenError","layout":"Delphi 2007 or earlier","message":"Cannot open file \"C:\\missing.ini\". The system cannot find the file specified","raise_address":"0x004018B3","raise_frame":{"module":"DelphiRaise.exe","module_offset":6323,"segment":".text","unit":"DelphiRaise","function":"OpenStep","function_offset":89,"file":"DelphiRaise.c","line":152},"parents":["EStreamError","Exception"]}}
JSON, Free Pascal|FpcRaise.map|fpcopen_full.dmp|"language_exception":{"kind":"fpc","class":"EFOpenError","layout":"Free Pascal","message":"Unable to open file \"C:\\missing.ini\": File not found.","raise_address":"0x0041904B"
JSON, unknown class|DelphiRaise.map|delphi2009.dmp|"language_exception":{"kind":"delphi","class":null,"why_no_class":"the dump does not hold the exception object","message":null,"raise_address":"0x0040183D"
ROWS

# db symbolize: the class table from the stored build's image.
expect "db add-build" 0 q db --db db add-build DelphiRaise.exe DelphiRaise.map
if expect "db symbolize, the class table from the stored image" 0 q db --db db symbolize --minidump delphi2009_full-heap.dmp; then
  if [ "$(head -1 out)" = "Exception EConvertError ('abc' is not a valid integer value) raised at 0x0040183D in thread $(thread_of delphi2009_full.dmp)" ]
  then pass "db symbolize, the class table from the stored image"; else fail "db symbolize: got"; cat out; fi
fi

# The walk from a context without EBP stops in kernelbase.dll: the raise
# address, then the walk from the registers the run-time passed.
if expect "the raise frame where the walk does not reach it" 0 q symbolize DelphiRaise.map --minidump delphi2009_full-noebp.dmp; then
  want="#0 0x7B012866 kernelbase.dll+0x12866
#1 0x0040183D DelphiRaise.exe+0x183D StrToIntStep+0x4C (DelphiRaise) DelphiRaise.c:142 [exception]
#2 0x00401855 DelphiRaise.exe+0x1855 Button1Click+0x11 (DelphiRaise) DelphiRaise.c:147
#3 0x00401BB4 DelphiRaise.exe+0x1BB4 main+0xC7 (DelphiRaise) DelphiRaise.c:195"
  if [ "$(grep '^#' out | head -4)" = "$want" ]; then pass "the raise frame where the walk does not reach it"
  else fail "the raise frame where the walk does not reach it: got"; cat out; fi
fi
if expect "... and its found_by" 0 q symbolize DelphiRaise.map --json --minidump delphi2009_full-noebp.dmp; then
  if grep -qF '{"frame":1,"address":"0x0040183D","module":"DelphiRaise.exe","module_offset":6205,"found_by":"exception"' out
  then pass "... and its found_by"; else fail "... and its found_by: got"; cat out; fi
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
