#!/usr/bin/env bash
# quillfen-cli symbolize --minidump and db symbolize --minidump on the real
# dumps of tests/dumps (CrashApp.exe crashed in CrashLib.dll, x86 and x86-64):
# every frame is checked against the answers file (addr2line's function, file
# and line); a dump written by make_minidump for a program without a version.
# The x86 dump of CrashApp is there only where 32-bit programs run (DUMP32
# "yes"); elsewhere its checks are left out, and the real Windows dumps of
# windows_dumps_cli_test.sh stand in for them. The x86 modules and MAP files
# are always built. Runs the native programs, or the .exe ones under Wine
# when WRAPPER is given.
#   minidump_cli_test.sh QUILLFEN-CLI MAKE-MINIDUMP CRASH32-DIR yes|no CRASH64-DIR [WRAPPER]
set -u
cli="$1" makedump="$2" dir32="$3" dump32="$4" dir64="$5" wrapper="${6:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
wanted=("$dir32/CrashApp.map" "$dir32/CrashLib.map" "$dir64/crash64.dmp" "$dir64/crash64.answers")
[ "$dump32" = yes ] && wanted+=("$dir32/crash32.dmp" "$dir32/crash32.answers")
for f in "${wanted[@]}"; do
  [ -r "$f" ] || { echo "FAIL: $f missing (the crash fixtures of tests/dumps make it)"; exit 1; }
done
# Relative paths only: the same under Wine.
mkdir -p "$work/w32" "$work/w64"
cp "$dir32"/CrashApp.exe "$dir32"/CrashLib.dll "$dir32"/*.map "$work/w32/"
[ "$dump32" = yes ] && cp "$dir32"/crash32.dmp "$dir32"/crash32.answers "$work/w32/"
cp "$dir64"/CrashApp.exe "$dir64"/CrashLib.dll "$dir64"/*.map "$dir64"/crash64.dmp "$dir64"/crash64.answers "$work/w64/"
cd "$work"
if [ "$dump32" != yes ]; then
  echo "left out: the checks of the x86 dump of CrashApp (no 32-bit program runs here to write it)"
fi
x86() { [ "$dump32" = yes ]; }

source "$(dirname "${BASH_SOURCE[0]}")/wine_cli.sh"

# The lines a frame should have: "#N ADDRESS MODULE+0xOFFSET" and, for a
# module with a MAP file (one of $answered), " FUNCTION+0x.. (UNIT) FILE:LINE".
# answers FILE KINDS ANSWERED: one extended regular expression per frame line.
frame_patterns() {
  local answers="$1" kinds="$2" answered="$3"
  awk -v kinds="$kinds" -v answered="$answered" '
    index(" " kinds " ", " " $1 " ") {
      line = "^#" $2 " " $3 " " $4 "\\+" $5
      if (index(" " answered " ", " " $4 " ")) line = line " " $6 "\\+0x[0-9A-F]+ \\([^)]*\\) " $7 ":" $8
      print line "$"
    }' "$answers"
}

# The frames of the output (lines 2 ...) match the patterns in order, from #0.
check_frames() {
  local name="$1" patterns="$2" n=2 ok=1
  while IFS= read -r pattern; do
    if ! sed -n "${n}p" out | grep -Eq "$pattern"; then
      ok=0; echo "  line $n: $(sed -n "${n}p" out)"; echo "  wanted: $pattern"
    fi
    n=$((n + 1))
  done <<<"$patterns"
  if [ $ok -eq 1 ]; then pass "$name"; else fail "$name"; fi
}

answer() { awk -v k="$2" '$1 == k { $1 = ""; print substr($0, 2) }' "$1"; }
exception_line() {  # the first line the answers file calls for
  local code address kind target
  read -r code address < <(answer "$1" exception)
  read -r kind target < <(answer "$1" parameters)
  case "$kind" in 0x*0) kind="read of" ;; 0x*1) kind="write to" ;; *) kind="execution of" ;; esac
  echo "Exception $code (access violation) at $address in thread $(answer "$1" thread): $kind $target"
}

a32=w32/crash32.answers a64=w64/crash64.answers

# --- symbolize MAPFILE --minidump: one module's MAP file ---------------------------
if x86; then
expect "x86, the library's MAP file" 0 q symbolize w32/CrashLib.map --minidump w32/crash32.dmp &&
  { [ "$(head -n 1 out)" = "$(exception_line $a32)" ] || fail "x86 exception line: $(head -n 1 out)"
    check_frames "x86, the library's MAP file: frames in both modules" \
      "$(frame_patterns $a32 frame CrashLib.dll)"; }
expect "x86, the program's MAP file" 0 q symbolize w32/CrashApp.map --minidump w32/crash32.dmp &&
  check_frames "x86, the program's MAP file: its frames down to the C runtime" \
    "$(frame_patterns $a32 'frame caller' CrashApp.exe)"
fi
expect "x86-64, the library's MAP file" 0 q symbolize w64/CrashLib.map --module CrashLib.dll --minidump w64/crash64.dmp &&
  { [ "$(head -n 1 out)" = "$(exception_line $a64)" ] || fail "x86-64 exception line: $(head -n 1 out)"
    check_frames "x86-64: 16-digit addresses, the chain through both modules" \
      "$(frame_patterns $a64 frame CrashLib.dll)"; }

# --- Mangled names in the frames: readable, short, or the linker's -----------------------
# The library's MAP file with two publics renamed as MinGW's C++ (Itanium) and
# C++Builder (Borland) mangle names; frames 0 and 1, unit and line cut off.
sed 's/ LibWriteNull$/ _Z12LibWriteNullPi/; s/ LibStep$/ @Crashlib@LibStep$qqrv/' w64/CrashLib.map >w64/Mangled.map
while IFS='|' read -r name options want; do
  expect "$name" 0 q symbolize w64/Mangled.map --module CrashLib.dll $options --minidump w64/crash64.dmp &&
    { got=$(sed -n '2,3{s/^#[01] 0x[0-9A-F]* CrashLib.dll+0x[0-9A-F]* //; s/ (CrashLib) .*//; p}' out | tr '\n' '|')
      [ "$got" = "$want" ] && pass "$name" || fail "$name: $got"; }
done <<'ROWS'
frames of mangled names readable||LibWriteNull(int*)+0x36|__fastcall Crashlib::LibStep()+0x3C|
frames --short-names|--short-names|LibWriteNull+0x36|Crashlib::LibStep+0x3C|
frames --no-demangle|--no-demangle|_Z12LibWriteNullPi+0x36|@Crashlib@LibStep$qqrv+0x3C|
ROWS
expect "frames --json" 0 q symbolize w64/Mangled.map --module CrashLib.dll --json --minidump w64/crash64.dmp &&
  { grep -q '"frame":1,[^}]*"function":"__fastcall Crashlib::LibStep()","linkage_name":"@Crashlib@LibStep$qqrv","function_offset":60,' out &&
      pass "frames --json: function readable, linkage_name the linker's" || fail "frames --json: $(cat out)"; }

# --- --scan: main's return into the C runtime, beyond the x86-64 chain ----------------
expect "x86-64 --scan" 0 q symbolize w64/CrashApp.map --scan --minidump w64/crash64.dmp &&
  { caller="$(frame_patterns $a64 caller CrashApp.exe | sed 's/^^#7 //; s/\$$//')"
    grep -Eq "^#[0-9]+ $caller \[scan\]$" out && pass "x86-64 --scan finds main's caller" ||
      fail "x86-64 --scan: no [scan] frame $caller"
    # The chain frames keep their order among the scanned ones, unmarked.
    grep -v '\[scan\]' out | sed 's/^#[0-9]* //' >chain.txt
    q symbolize w64/CrashApp.map --minidump w64/crash64.dmp | sed 's/^#[0-9]* //' >plain.txt
    cmp -s chain.txt plain.txt && pass "x86-64 --scan keeps the chain frames in order" ||
      fail "x86-64 --scan: the chain frames differ"
    grep -Evq '^#[0-9]+ 0x[0-9A-F]{16} ' <(tail -n +2 out) && fail "x86-64: an address not of 16 digits" ||
      pass "x86-64: every address of 16 digits"; }

# --- --json and --all-threads --------------------------------------------------------
if x86; then
expect "x86 --json --all-threads" 0 q symbolize w32/CrashLib.map --json --all-threads --minidump w32/crash32.dmp &&
  if python3 - out $a32 <<'PY'; then pass "x86 --json: exception, modules, frames as the answers"; else fail "x86 --json"; cat out; fi
import json, sys
text = open(sys.argv[1], encoding="utf-8").read()
assert text.count("\n") == 1, "one line"
o = json.loads(text)
answers = [l.split() for l in open(sys.argv[2])]
get = lambda k: [a[1:] for a in answers if a[0] == k]
code, address = get("exception")[0]
e = o["exception"]
assert e == {"code": code, "name": "access violation", "address": address, "thread": int(get("thread")[0][0]),
             "parameters": get("parameters")[0]}, e
modules = {m["name"]: m for m in o["modules"]}
for name, base, size, version, _, _ in get("module"):
    m = modules[name]
    assert (m["base"], m["size"], m["version"]) == (base, int(size, 16), version), m
    assert m["map"] == ("w32/CrashLib.map" if name == "CrashLib.dll" else None), m
assert all(modules[n]["map"] is None for n in modules if n != "CrashLib.dll")
frames = o["frames"]
assert [f["found_by"] for f in frames[:7]] == ["context"] + ["frame_pointer"] * 6, frames
for n, addr, module, offset, function, file, line in get("frame"):
    f = frames[int(n)]
    assert (f["frame"], f["address"], f["module"], f["module_offset"]) == (int(n), addr, module, int(offset, 16)), f
    if module == "CrashLib.dll":
        assert (f["segment"], f["function"], f["file"], f["line"]) == (".text", function, file, int(line)), f
        assert f["unit"] == "CrashLib" and isinstance(f["function_offset"], int), f
    else:
        assert all(f[k] is None for k in ("segment", "unit", "function", "function_offset", "file", "line")), f
assert o["threads"] == [] or all(t["id"] != e["thread"] and t["frames"][0]["found_by"] == "context"
                                 for t in o["threads"]), o["threads"]
PY
expect "--all-threads" 0 q symbolize w32/CrashLib.map --all-threads --minidump w32/crash32.dmp &&
  { head -n "$(frame_patterns $a32 frame CrashLib.dll | wc -l)" out >first.txt
    q symbolize w32/CrashLib.map --minidump w32/crash32.dmp | head -n "$(wc -l <first.txt)" | cmp -s - first.txt &&
      pass "--all-threads: the crashing thread first, from the exception" || fail "--all-threads: first thread differs"; }

fi
# The real program has one thread; a written dump has a second one.
run "$makedump" two.dmp x86
expect "--all-threads, a second thread" 0 q symbolize w32/CrashLib.map --all-threads --minidump two.dmp &&
  { [ "$(tail -n 2 out)" = "$(printf 'Thread 9\n#0 0x77002000 ??')" ] && pass "--all-threads: the other thread after the crashed one" ||
      { fail "--all-threads, a second thread"; cat out; }; }
expect "--all-threads --json, a second thread" 0 q symbolize w32/CrashLib.map --all-threads --json --minidump two.dmp &&
  { grep -q ',"threads":\[{"id":9,"frames":\[{"frame":0,"address":"0x77002000","module":null,"module_offset":null,"found_by":"context",' out &&
      pass "--all-threads --json: threads" || { fail "--all-threads --json, a second thread"; cat out; }; }

# --- db add-build of both modules, then db symbolize --minidump ---------------------------
for bits in 32 64; do
  d="w$bits"
  [ $bits = 32 ] && ! x86 && continue
  # From the modules' folder: the Windows program takes only "\" as a separator.
  (cd "$d" && q db --db "../db$bits" add-build CrashApp.exe >/dev/null && q db --db "../db$bits" add-build CrashLib.dll >/dev/null) ||
    fail "x$bits: db add-build"
done
if x86; then
expect "db symbolize --minidump, x86" 0 q db --db db32 symbolize --minidump w32/crash32.dmp &&
  { check_frames "db symbolize --minidump, x86: every frame of both modules named" \
      "$(frame_patterns $a32 'frame caller' 'CrashApp.exe CrashLib.dll')"
    want_err="quillfen-cli: db symbolize: CrashApp.exe: project CrashApp, version 3.1.4.15
quillfen-cli: db symbolize: CrashLib.dll: project CrashLib, version 2.7.1.8"
    grep -v 'no MAP file for' err | sort | cmp -s - <(sort <<<"$want_err") && pass "x86: the MAP files used on standard error" ||
      { fail "x86: standard error"; cat err; }
    # Every other module that holds a frame is named once, with the reason.
    for m in $(tail -n +2 out | grep -v 'Crash\(App\|Lib\)' | grep -o '[A-Za-z0-9_.-]*\.dll+' | sort -u | tr -d '+'); do
      [ "$(grep -c "no MAP file for $m: no project ${m%.dll} in the database$" err)" = 1 ] &&
        pass "x86: $m named once without a MAP file" || { fail "x86: $m on standard error"; cat err; }
    done; }
fi
expect "db symbolize --minidump, x86-64" 0 q db --db db64 symbolize --minidump w64/crash64.dmp &&
  check_frames "db symbolize --minidump, x86-64: every frame of both modules named" \
    "$(frame_patterns $a64 frame 'CrashApp.exe CrashLib.dll')"
q db --db other add CrashLib 9.9.9.9 w64/CrashLib.map >/dev/null
q db --db other add CrashApp 1.0 w64/CrashApp.map >/dev/null
expect "db symbolize --minidump, no stored version" 1 q db --db other symbolize --minidump w64/crash64.dmp &&
  { grep -Eqx 'quillfen-cli: db symbolize: no MAP file for CrashLib.dll: no stored version 2\.7\.1\.8 \(build [0-9A-F]{8}[0-9a-f]+\) of project CrashLib; stored versions: 9\.9\.9\.9' err &&
    grep -Eqx 'quillfen-cli: db symbolize: no MAP file for CrashApp.exe: no stored version 3\.1\.4\.15 \(build [0-9A-F]{8}[0-9a-f]+\) of project CrashApp; stored versions: 1\.0' err &&
    ! grep -q ' CrashApp.c\| CrashLib.c' out && pass "db symbolize --minidump: versions not stored, nothing answered" ||
      { fail "db symbolize --minidump, no stored version"; cat err; }; }

# A stored MAP file without a segment table (db add takes one) answers nothing.
printf 'Line numbers for Engine(Engine.pas) segment .text\n\n    10 0001:00000100\n\n' >lines-only.map
(cd w64 && q db --db ../noseg add-build CrashApp.exe >/dev/null)
q db --db noseg add CrashLib 2.7.1.8 lines-only.map >/dev/null
expect "db symbolize --minidump, a MAP file without a segment table" 0 q db --db noseg symbolize --minidump w64/crash64.dmp &&
  { grep -Eq '^quillfen-cli: db symbolize: no MAP file for CrashLib.dll: .*2\.7\.1\.8\.map is not a MAP file with a segment table$' err &&
    grep -Eq "$(frame_patterns $a64 frame CrashApp.exe | sed -n 4p)" out && pass "a MAP file without a segment table: named, the others answered" ||
      { fail "a MAP file without a segment table"; cat err; }; }

# A program without a version resource takes --build-version.
run "$makedump" bare.dmp no-version
q db --db bare add CrashApp 5.0 w32/CrashApp.map >/dev/null
expect "db symbolize --minidump, a program without a version" 1 q db --db bare symbolize --minidump bare.dmp &&
  { grep -qx 'quillfen-cli: db symbolize: no MAP file for CrashApp.exe: no stored build 0000000010000 of project CrashApp, and the dump gives no file version of it; give --build-version X.Y.Z.W' err &&
      pass "a program without a version: --build-version asked for" || { fail "a program without a version"; cat err; }; }
expect "db symbolize --build-version --minidump" 0 q db --db bare symbolize --build-version 5.0 --minidump bare.dmp &&
  { grep -qx 'quillfen-cli: db symbolize: CrashApp.exe: project CrashApp, version 5.0; the build could not be checked (no .build file)' err &&
    grep -q '^#1 0x00401234 CrashApp.exe+0x1234 ' out && pass "--build-version: the program answered from the version given" ||
      { fail "--build-version"; cat out err; }; }

# --- Errors -------------------------------------------------------------------------
expect "a module not in the dump" 2 q symbolize w64/CrashLib.map --module Other --minidump w64/crash64.dmp &&
  { [ "$(head -n 1 err)" = 'quillfen-cli: symbolize: no module Other in "w64/crash64.dmp"; its modules:' ] &&
    grep -qx '  CrashApp.exe' err && grep -qx '  CrashLib.dll' err && [ ! -s out ] &&
    pass "a module not in the dump: the dump's modules listed" || { fail "a module not in the dump"; cat err; }; }
expect "not a minidump" 2 q symbolize w32/CrashLib.map --minidump w32/CrashLib.map &&
  { [ "$(cat err)" = 'quillfen-cli: "w32/CrashLib.map": not a minidump (no MDMP signature)' ] && pass "not a minidump" ||
      { fail "not a minidump"; cat err; }; }
head -c 3000 w64/crash64.dmp >cut.dmp
expect "a truncated dump" 2 q symbolize w32/CrashLib.map --minidump cut.dmp &&
  { grep -q '^quillfen-cli: "cut.dmp": damaged minidump: .* lies past the end of the file$' err && [ ! -s out ] &&
      pass "a truncated dump" || { fail "a truncated dump"; cat err; }; }
# The stack's bytes past the end (a dump cut short): frame 0 is still answered.
python3 - w64/crash64.dmp nostack.dmp <<'PY'
import struct, sys
b = bytearray(open(sys.argv[1], "rb").read())
streams, directory = struct.unpack_from("<II", b, 8)
for i in range(streams):
    kind, size, rva = struct.unpack_from("<III", b, directory + 12 * i)
    if kind == 3:  # the thread list: the first thread's stack location
        struct.pack_into("<I", b, rva + 4 + 36, 0xFFFFFFF0)
open(sys.argv[2], "wb").write(b)
PY
expect "a stack past the end" 0 q symbolize w64/CrashLib.map --minidump nostack.dmp &&
  { [ "$(cat err)" = "quillfen-cli: \"nostack.dmp\": damaged minidump: the stack of thread $(answer $a64 thread) lies past the end of the file (left out)" ] &&
    [ "$(wc -l <out)" = 2 ] && grep -Eq "$(frame_patterns $a64 frame CrashLib.dll | head -n 1)" <(sed -n 2p out) &&
      pass "a stack past the end: left out, frame 0 answered" || { fail "a stack past the end"; cat out err; }; }
try="Try 'quillfen-cli --help'"
for usage in "--scan needs --minidump|symbolize w32/CrashLib.map --scan 0x401000" \
             "--minidump takes no addresses|symbolize w64/CrashLib.map --minidump w64/crash64.dmp 0x401000" \
             "--minidump and --report exclude each other|symbolize w64/CrashLib.map --minidump w64/crash64.dmp --report x" \
             "--minidump takes the load bases from the dump, not --rva, --base, --image-base|symbolize w64/CrashLib.map --base 0x10000000 --minidump w64/crash64.dmp"; do
  message="${usage%%|*}"
  # shellcheck disable=SC2086
  expect "usage: $message" 2 q ${usage#*|} &&
    { [ "$(cat err)" = "quillfen-cli: symbolize: $message
$try" ] && pass "usage: $message" || { fail "usage: $message"; cat err; }; }
done

echo "minidump_cli_test: $failures failed"
[ "$failures" -eq 0 ]
