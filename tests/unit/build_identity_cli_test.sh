#!/usr/bin/env bash
# Builds known by their identity, on the real x86-64 dump of tests/dumps
# (CrashApp.exe 3.1.4.15 crashed in CrashLib.dll 2.7.1.8): db add-build keeps
# each build's .build file; a second build of CrashLib 2.7.1.8 (the same DLL
# with another TimeDateStamp, its MAP file's names marked "Twin") is stored
# beside the first, and each dump is answered from its own build; a build
# not stored is named and left unanswered. The same dump grown to 3 GiB (a
# sparse file, the stack moved to its end) gives the same frames in little
# memory. A caller frame whose call ends a function is answered with it.
# Runs the native programs, or the .exe ones under Wine when WRAPPER is given
# (the memory of a run is then printed, not checked).
#   build_identity_cli_test.sh QUILLFEN-CLI MAKE-MINIDUMP CRASH64-DIR SAMPLES-DIR [WRAPPER]
set -u
cli="$1" makedump="$2" dir64="$3" samples="$4" wrapper="${5:-}"
tool="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/dumptool.py"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
for f in "$dir64/crash64.dmp" "$dir64/crash64.answers" "$dir64/CrashLib.dll" "$dir64/CrashApp.exe"; do
  [ -r "$f" ] || { echo "FAIL: $f missing (the dump_crash64 fixture writes it)"; exit 1; }
done
cd "$work"
cp "$dir64"/CrashApp.exe "$dir64"/CrashLib.dll "$dir64"/*.map "$dir64"/crash64.dmp "$dir64"/crash64.answers .
cp "$samples/Demo.map" .

source "$(dirname "${BASH_SOURCE[0]}")/wine_cli.sh"
# The function each frame of the output names, in order ("-" for none).
functions() { grep -v '^warning: ' out | tail -n +2 | awk '{ print (NF > 3 ? $4 : "-") }' | sed 's/+0x[0-9A-F]*$//' | tr '\n' ' '; }

stamp=$(python3 "$tool" stamp CrashLib.dll)
size=$(awk '$1 == "module" && $2 == "CrashLib.dll" { print $4 }' crash64.answers)
key=$(printf '%s%x' "$stamp" "$size")
twin_stamp=$(printf '%08X' $(( (0x$stamp + 0x10000) & 0xFFFFFFFF )))
twin_key=$(printf '%s%x' "$twin_stamp" "$size")
lower() { tr 'A-Z' 'a-z' <<<"$1"; }

# The twin: the same DLL with another TimeDateStamp, its MAP file's names
# marked; a dump of it: the real dump with the module's TimeDateStamp changed.
mkdir twin
python3 "$tool" restamp CrashLib.dll twin/CrashLib.dll "$twin_stamp"
sed 's/\bLibWriteNull\b/TwinLibWriteNull/g; s/\bLibStep\b/TwinLibStep/g' CrashLib.map >twin/CrashLib.map
python3 "$tool" module-stamp crash64.dmp twin.dmp CrashLib.dll "$twin_stamp"
# db add-build keeps the executables, so the walk is the unwind of their
# tables: on through the C run-time start-up into kernel32.dll (no image).
startup="__tmainCRTStartup mainCRTStartup - "
real_names="LibWriteNull LibStep CrashLibEnter Level3 Level2 Level1 main $startup"
twin_names="TwinLibWriteNull TwinLibStep CrashLibEnter Level3 Level2 Level1 main $startup"

# --- db add-build keeps the identity ------------------------------------------------
expect "add-build CrashApp.exe" 0 q db --db db add-build CrashApp.exe
expect "add-build CrashLib.dll" 0 q db --db db add-build CrashLib.dll &&
  { [ "$(tr -d '\r' <out | tr '\\' /)" = db/CrashLib/2.7.1.8.map ] && [ ! -s err ] || fail "add-build CrashLib.dll: $(cat out err)"; }
want_build="module=CrashLib.dll
machine=x64
time_date_stamp=0x$stamp
size_of_image=$(printf '0x%X' "$size")
code_id=$key
file_version=2.7.1.8
sha256=$(sha256sum CrashLib.dll | cut -d' ' -f1)"
[ "$(tr -d '\r' <db/CrashLib/2.7.1.8.build)" = "$want_build" ] && pass "the .build file: identity, version, SHA-256" ||
  { fail "the .build file"; cat db/CrashLib/2.7.1.8.build; }
# From the modules' folder: the Windows program takes only "\" as a separator.
twin_add() { (cd twin && q db --db "../$1" add-build CrashLib.dll); }
expect "add-build of another build of 2.7.1.8" 0 twin_add db &&
  { [ "$(tr -d '\r' <out | tr '\\' /)" = "../db/CrashLib/2.7.1.8-$twin_key.map" ] &&
    [ "$(cat err)" = "quillfen-cli: db add-build: version 2.7.1.8 of project CrashLib is stored already for another build ($key); this build is stored as 2.7.1.8-$twin_key" ] &&
    [ -f "db/CrashLib/2.7.1.8-$twin_key.build" ] && cmp -s twin/CrashLib.map "db/CrashLib/2.7.1.8-$twin_key.map" &&
      pass "another build of a stored version: stored as VERSION-KEY" || { fail "another build: $(cat out err)"; }; }
expect "the same build again" 1 twin_add db &&
  { [ "$(cat err)" = "quillfen-cli: This version already exists" ] && pass "the same build again: already exists" ||
      fail "the same build again: $(cat err)"; }
expect "db versions --builds" 0 q db --db db versions --builds CrashLib &&
  { grep -qx "2.7.1.8.map  CrashLib.dll x64 $key 2.7.1.8 sha256=[0-9a-f]\{64\}" out &&
    grep -qx "$(lower "2.7.1.8-$twin_key").map  CrashLib.dll x64 $twin_key 2.7.1.8 sha256=[0-9a-f]\{64\}" out &&
      pass "db versions --builds" || { fail "db versions --builds"; cat out; }; }

# --- each dump answered from its own build -------------------------------------------------
expect "the real dump" 0 q db --db db symbolize --minidump crash64.dmp &&
  { [ "$(functions)" = "$real_names" ] && grep -qx 'quillfen-cli: db symbolize: CrashLib.dll: project CrashLib, version 2.7.1.8' err &&
      pass "the real dump: answered from its build" || { fail "the real dump: $(functions)"; cat err; }; }
expect "the twin's dump" 0 q db --db db symbolize --minidump twin.dmp &&
  { [ "$(functions)" = "$twin_names" ] &&
    grep -qx "quillfen-cli: db symbolize: CrashLib.dll: project CrashLib, version $(lower "2.7.1.8-$twin_key")" err &&
      pass "the twin's dump: answered from the twin" || { fail "the twin's dump: $(functions)"; cat err; }; }

# --- a build not stored: named with its identity, unanswered --------------------------------
(q db --db only-twin add-build CrashApp.exe && twin_add only-twin) >/dev/null
expect "a build not stored" 0 q db --db only-twin symbolize --minidump crash64.dmp &&
  { [ "$(functions)" = "- - - Level3 Level2 Level1 main $startup" ] &&
    grep -qx "quillfen-cli: db symbolize: no MAP file for CrashLib.dll: version 2.7.1.8 of project CrashLib is stored for another build ($twin_key, the dump's build $key); --any-build takes it" err &&
      pass "a build not stored: named, its frames unanswered" || { fail "a build not stored: $(functions)"; cat err; }; }
expect "--any-build" 0 q db --db only-twin symbolize --any-build --minidump crash64.dmp &&
  { [ "$(functions)" = "$twin_names" ] && grep -q "^warning: CrashLib.dll is build $key in the dump" out &&
    grep -qx "quillfen-cli: db symbolize: CrashLib.dll: project CrashLib, version 2.7.1.8; another build ($twin_key, the dump's build $key) taken by --any-build" err &&
      pass "--any-build: another build taken, with a warning" || { fail "--any-build: $(functions)"; cat err; }; }

# --- stored without a .build file (db add): found by its version, unchecked -----------------
(q db --db plain add CrashLib 2.7.1.8 CrashLib.map && q db --db plain add-build CrashApp.exe) >/dev/null
expect "a version without a .build file" 0 q db --db plain symbolize --minidump crash64.dmp &&
  { [ "$(functions)" = "$real_names" ] &&
    grep -qx 'quillfen-cli: db symbolize: CrashLib.dll: project CrashLib, version 2.7.1.8; the build could not be checked (no .build file)' err &&
      pass "a version without a .build file: answered, unchecked" || { fail "without a .build file: $(functions)"; cat err; }; }

# --- a damaged .build file: named, read as none --------------------------------------------
cp -r plain damaged
printf 'module=CrashLib.dll\nmachine=x64\ntime_date_stamp=yesterday\n' >damaged/CrashLib/2.7.1.8.build
expect "a damaged .build file" 0 q db --db damaged symbolize --minidump crash64.dmp &&
  { [ "$(functions)" = "$real_names" ] &&
    grep -Eqx 'quillfen-cli: db symbolize: damaged.CrashLib.2\.7\.1\.8\.build: damaged build file: line 3: time_date_stamp is not a hexadecimal number of 32 bits \(0x\.\.\.\); its build is not checked' err &&
    grep -qx 'quillfen-cli: db symbolize: CrashLib.dll: project CrashLib, version 2.7.1.8; the build could not be checked (no .build file)' err &&
      pass "a damaged .build file: named, its version unchecked" || { fail "a damaged .build file"; cat err; }; }

# --- a caller frame whose call ends a function -------------------------------------------------
# Demo.map: TEngine.Destroy ends at 0x401124, TEngine.Step starts at 0x401125.
run "$makedump" return.dmp x86 0x401125
expect "a call that ends a function" 0 q symbolize Demo.map --module CrashApp --minidump return.dmp &&
  { [ "$(sed -n 3p out)" = "#1 0x00401125 CrashApp.exe+0x1125 TEngine.Destroy+0xAB (Engine) Engine.pas:76" ] &&
      pass "a caller frame ending a function: the calling function" || { fail "a call that ends a function"; cat out; }; }

# --- the dump grown to 3 GiB ----------------------------------------------------------------
python3 "$tool" grow crash64.dmp big.dmp $((3 << 30))
small=$(python3 "$tool" run small.out small.err ${wrapper:+"$wrapper"} "$cli" symbolize CrashLib.map --module CrashLib.dll --scan --minidump crash64.dmp)
big=$(python3 "$tool" run big.out big.err ${wrapper:+"$wrapper"} "$cli" symbolize CrashLib.map --module CrashLib.dll --scan --minidump big.dmp)
read -r small_s small_kb <<<"$small"
read -r big_s big_kb <<<"$big"
echo "figures: dump of $(stat -c %s crash64.dmp) bytes: ${small_s} s, peak ${small_kb} KB; grown to 3 GiB: ${big_s} s, peak ${big_kb} KB${wrapper:+ (under $(basename "$wrapper"))}"
tr -d '\r' <small.out >small.txt
tr -d '\r' <big.out >big.txt
[ -s big.txt ] && cmp -s small.txt big.txt && pass "3 GiB: the same frames" || { fail "3 GiB: the frames differ"; diff small.txt big.txt | head; cat big.err; }
if [ -z "$wrapper" ]; then
  [ "$big_kb" -lt $((64 * 1024)) ] && pass "3 GiB: peak memory under 64 MB" || fail "3 GiB: peak memory ${big_kb} KB"
fi

echo "build_identity_cli_test: $failures failed"
[ "$failures" -eq 0 ]
