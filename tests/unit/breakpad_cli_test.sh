#!/usr/bin/env bash
# quillfen-cli breakpad end to end: the symbol file of a real MAP file read
# back against symbolize's printed answers, the identity from real images
# (a 64-bit program whose linker wrote a PDB, images without CodeView
# record), --sentry, -o and the errors.
#   breakpad_cli_test.sh quillfen-cli make_pe_image REAL-MAPS-MODERN-DIR CODEVIEW-EXE OBJDUMP
set -u
cli="$1"
make_pe_image="$2"
real="$3"
cvexe="$4"
objdump="$5"
[ -r "$real/andremussche-VncDllLoader.map" ] || { echo "real MAP file missing in $real" >&2; exit 1; }
[ -r "$cvexe" ] || { echo "$cvexe missing: the MinGW x86-64 compiler is needed (run scripts/setup.sh)" >&2; exit 1; }
failures=0
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/cli_check.sh"
vnc="$real/andremussche-VncDllLoader.map"
zeros=000000000000000000000000000000000
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
try="Try 'quillfen-cli --help'"

# --- A real MAP file: read back against symbolize ---------------------------
"$cli" breakpad "$vnc" --module VncDllLoader.exe >"$work/vnc.sym" || fail "breakpad on VncDllLoader.map"
[ "$(head -n 1 "$work/vnc.sym")" = "MODULE windows x86 $zeros VncDllLoader.exe" ] || fail "MODULE line: $(head -n 1 "$work/vnc.sym")"
grep -q '^INFO' "$work/vnc.sym" && fail "INFO CODE_ID without an image"
grep -q $'\r' "$work/vnc.sym" && fail "a CR in the symbol file"
# Every 40th line record: its first and last byte, with the answer the file
# gives them (its FUNC's name, its FILE's name and line), asked of symbolize.
awk '
  $1 == "FILE" { name = $0; sub(/^FILE [0-9]+ /, "", name); file[$2] = name; next }
  $1 == "FUNC" { fn = $0; sub(/^FUNC (m )?[0-9a-f]+ [0-9a-f]+ 0 /, "", fn); next }
  $1 == "MODULE" || $1 == "INFO" || $1 == "STACK" { next }
  (n++ % 40) == 0 { printf "%s %s %s %s:%s\n", $1, $2, fn, file[$4], $3 }' "$work/vnc.sym" >"$work/records"
: >"$work/rvas"
: >"$work/expected"
while read -r rva size answer; do
  printf '0x%X\n0x%X\n' "0x$rva" "$((0x$rva + 0x$size - 1))" >>"$work/rvas"
  printf '%s\n%s\n' "$answer" "$answer" >>"$work/expected"
done <"$work/records"
"$cli" symbolize "$vnc" --module VncDllLoader.exe --rva - <"$work/rvas" |
  sed -E 's/^0x[0-9A-F]+ (.*)\+0x[0-9A-F]+ \(.*\) (.*)$/\1 \2/' >"$work/answers"
samples=$(wc -l <"$work/rvas")
[ "$samples" -gt 1000 ] || fail "too few line records sampled ($samples)"
if diff -q "$work/expected" "$work/answers" >/dev/null; then
  echo "ok   $samples addresses of the symbol file answered as symbolize answers them"
else
  fail "the symbol file and symbolize differ"; diff "$work/expected" "$work/answers" | head -n 10
fi
check "-o writes the same file" 0 "" "" -- "$cli" breakpad "$vnc" --module=VncDllLoader.exe -o "$work/o.sym"
cmp -s "$work/o.sym" "$work/vnc.sym" || fail "-o differs from standard output"
check "-o replaces a file" 0 "" "" -- "$cli" breakpad "$vnc" --module VncDllLoader.exe -o "$work/o.sym"
cmp -s "$work/o.sym" "$work/vnc.sym" || fail "-o over a file differs"

# The module's name: --module with an extension, else the MAP file's name.
cp "$vnc" "$work/VncDllLoader.map"
[ "$(head -n 1 < <("$cli" breakpad "$work/VncDllLoader.map"))" = "MODULE windows x86 $zeros VncDllLoader.exe" ] ||
  fail "the module named after the MAP file"
[ "$(head -n 1 < <("$cli" breakpad "$vnc" --module Vnc.dll))" = "MODULE windows x86 $zeros Vnc.dll" ] ||
  fail "--module with an extension"
# A table of 16-digit starts is a 64-bit program's.
printf ' Start Length Name Class\n 0001:0000000140001000 00000100H .text CODE\n' >"$work/Wide.map"
printf ' Start Length Name Class\n 0001:00401000 00000100H .text CODE\n' >"$work/Narrow.map"
check "16-digit starts: x86_64" 0 "MODULE windows x86_64 $zeros Wide.exe" "" -- "$cli" breakpad "$work/Wide.map" --force

# --- Identity from images ----------------------------------------------------
# The linker's CodeView record: the GUID's bytes as stored (Data1 to Data3
# little-endian), which objdump prints in the GUID's usual order, then the
# age in hexadecimal and the PDB's name.
record=$("$objdump" -p "$cvexe" | grep -o 'format RSDS signature [0-9a-f]* age [0-9a-f]* pdb [^)]*')
offset=$("$objdump" -p "$cvexe" | awk '$2 == "CodeView" {print $5}')
bytes=$(od -An -tx1 -j $((0x$offset + 4)) -N 16 "$cvexe" | tr -d ' \n')
le() { local s="$1" r="" i; for ((i = ${#s} - 2; i >= 0; i -= 2)); do r+="${s:i:2}"; done; echo "$r"; }
guid=$(le "${bytes:0:8}")$(le "${bytes:8:4}")$(le "${bytes:12:4}")${bytes:16:16}
[ "$guid" = "$(echo "$record" | awk '{print $4}')" ] || fail "the GUID's bytes and objdump's GUID differ"
age=$(echo "$record" | awk '{print $6}')
pdb=$(basename "$(echo "$record" | sed 's/.* pdb //')")
id="${guid^^}$(printf '%x' "0x$age")"
# TimeDateStamp and SizeOfImage from the headers (PE header + 8, + 80).
pe_u32() { printf '%u' "0x$(od -An -tx4 -j $(( $(od -An -tu4 -j 60 -N 4 "$1") + $2 )) -N 4 "$1" | tr -d ' ')"; }
code_id() { printf '%08X%x' "$(pe_u32 "$1" 8)" "$(pe_u32 "$1" 80)"; }
code=$(code_id "$cvexe")
[ "$(pe_u32 "$cvexe" 80)" = "$(printf '%u' "0x$("$objdump" -p "$cvexe" | awk '$1 == "SizeOfImage" {print $2}')")" ] ||
  fail "SizeOfImage read from the wrong place"
want="MODULE windows x86_64 $id $pdb
INFO CODE_ID $code $(basename "$cvexe")"
[ -n "$bytes" ] && [ -n "$pdb" ] || fail "no CodeView record in $cvexe"
# (The lines after these two are the image's stack rules.)
"$cli" breakpad "$work/Wide.map" --force --image "$cvexe" >"$work/cv.sym" || fail "--image with a CodeView record"
[ "$(head -n 2 "$work/cv.sym")" = "$want" ] || fail "--image with a CodeView record: $(head -n 2 "$work/cv.sym")"
"$cli" breakpad "$work/Wide.map" --force --image "$cvexe" --sentry >"$work/cv2.sym" || fail "--sentry with a CodeView record"
cmp -s "$work/cv.sym" "$work/cv2.sym" || fail "--sentry changes the CodeView id"

"$make_pe_image" "$work/App.exe" pe32 2.1.0.7 || fail "make_pe_image"
"$make_pe_image" "$work/App64.exe" pe32+ 2.1.0.7 || fail "make_pe_image"
app_code=$(code_id "$work/App.exe")
check "--image without CodeView: zeros, the image's name and machine" 0 "MODULE windows x86 $zeros App.exe
INFO CODE_ID $app_code App.exe" "" -- "$cli" breakpad "$work/Narrow.map" --force --image "$work/App.exe"
[ "$(head -n 1 < <("$cli" breakpad "$work/Wide.map" --force --image "$work/App64.exe"))" = "MODULE windows x86_64 $zeros App64.exe" ] ||
  fail "the machine of a PE32+ image"
"$cli" breakpad "$work/Narrow.map" --force --image "$work/App.exe" --sentry >"$work/s1" || fail "--sentry"
sentry_id=$(head -n 1 "$work/s1" | awk '{print $4}')
[[ "$sentry_id" =~ ^[0-9A-F]{32}0$ ]] && [ "$sentry_id" != "$zeros" ] || fail "--sentry id: $sentry_id"
"$cli" breakpad "$work/Narrow.map" --force --image "$work/App.exe" --sentry >"$work/s2"
cmp -s "$work/s1" "$work/s2" || fail "--sentry id changes from run to run"
printf 'X' >>"$work/App.exe"  # another build: the same code id, another SHA-256
"$cli" breakpad "$work/Narrow.map" --force --image "$work/App.exe" --sentry >"$work/s3"
[ "$(sed -n 2p "$work/s3")" = "INFO CODE_ID $app_code App.exe" ] || fail "--sentry: INFO CODE_ID"
[ "$(head -n 1 "$work/s3")" != "$(head -n 1 "$work/s1")" ] || fail "--sentry id the same for two images"

# --- db export-breakpad ------------------------------------------------------
"$make_pe_image" "$work/App.exe" pe32 2.1.0.7
db="$work/db"
out="$work/store"
"$cli" db --db "$db" add-build --no-image "$work/App.exe" "$vnc" >/dev/null || fail "db add-build App.exe"
"$cli" db --db "$db" add-build "$cvexe" "$real/../../dumps/win64/CrashApp.map" >/dev/null 2>&1 || fail "db add-build $(basename "$cvexe")"
# The image add-build keeps beside the stored MAP file gives the CodeView
# record; the other build's is left out.
cvstored=$(ls "$db"/CodeViewProgram/*.map)
[ -f "${cvstored%.map}.exe" ] || fail "db add-build kept no image"
app_sym="$out/App.exe/$zeros/App.exe.sym"
cv_sym="$out/$pdb/$id/${pdb%.pdb}.sym"
"$cli" db --db "$db" export-breakpad "$out" >"$work/out" 2>"$work/err" || fail "db export-breakpad: $(cat "$work/err")"
[ "$(sort "$work/out")" = "$(printf '%s\n' "2 files written, 0 files left as they were" "$app_sym" "$cv_sym" | sort)" ] ||
  fail "db export-breakpad: $(cat "$work/out")"
"$cli" breakpad "$vnc" --module App.exe >"$work/want"
sed -i "2i INFO CODE_ID $app_code App.exe" "$work/want"
cmp -s "$app_sym" "$work/want" || fail "the stored build's symbol file (its .build file giving INFO CODE_ID)"
"$cli" breakpad "$real/../../dumps/win64/CrashApp.map" --image "$cvexe" >"$work/want"
cmp -s "$cv_sym" "$work/want" || fail "the stored build's symbol file with its image"
grep -q '^STACK CFI INIT ' "$cv_sym" || fail "no stack rules from the stored x64 image"
check "db export-breakpad again" 0 "0 files written, 2 files left as they were" "" -- \
  "$cli" db --db "$db" export-breakpad "$out"
check "db export-breakpad PROJECT" 0 "0 files written, 1 file left as it was" "" -- \
  "$cli" db --db "$db" export-breakpad "$out" app
check "db export-breakpad PROJECT VERSION not stored" 1 "" \
  "quillfen-cli: db export-breakpad: no stored version 9.9 of project App; stored versions: 2.1.0.7" -- \
  "$cli" db --db "$db" export-breakpad "$out" App 9.9
"$cli" db --db "$db" add App 9.9 "$vnc" >/dev/null
check "two builds without CodeView record share one file" 1 "0 files written, 1 file left as it was" \
  "quillfen-cli: db export-breakpad: project App, version 9.9: its symbol file is that of project App, version 2.1.0.7 ($app_sym: the same module name and id); not written" -- \
  "$cli" db --db "$db" export-breakpad "$out" App
check "db export-breakpad --sentry needs .build files" 2 "" \
  "quillfen-cli: db export-breakpad: --sentry needs the code id and SHA-256 of every build (Sentry matches a module without CodeView record by its code id); project App, version 9.9 has no .build file
$try" -- "$cli" db --db "$db" export-breakpad --sentry "$out" App
"$cli" db --db "$db" export-breakpad --sentry "$out" App 2.1.0.7 >"$work/out" || fail "db export-breakpad --sentry"
sentry_path=$(head -n 1 "$work/out")
[[ "$sentry_path" =~ ^$out/App.exe/[0-9A-F]{32}0/App.exe.sym$ ]] && [ -f "$sentry_path" ] ||
  fail "db export-breakpad --sentry: $(cat "$work/out")"
check "db export-breakpad without OUTDIR" 2 "" "quillfen-cli: db: export-breakpad needs OUTDIR [PROJECT [VERSION]]
$try" -- "$cli" db --db "$db" export-breakpad

# --- C++Builder names: FUNC by the readable name, else by the linker's ---------
gbk="$real/WangGangNameZebei-Project1.map"
while IFS='|' read -r what options want; do
  check "$what" 0 "$want" "" -- bash -c '"$0" breakpad "$1" $2 | grep "^FUNC b6450 "' "$cli" "$gbk" "$options"
done <<'ROWS'
FUNC of a C++Builder name: readable||FUNC b6450 608 0 __fastcall TForm1::Button11Click(System::TObject *)
FUNC --no-demangle: the linker's name|--no-demangle|FUNC b6450 608 0 @TForm1@Button11Click$qqrp14System@TObject
ROWS
check "db export-breakpad --no-demangle (Delphi names: the same file)" 0 "0 files written, 1 file left as it was" "" -- \
  "$cli" db --db "$db" export-breakpad --no-demangle "$out" App 2.1.0.7

# --- Errors -------------------------------------------------------------------
check "--sentry without an image" 2 "" "quillfen-cli: breakpad: --sentry needs the module's code id (Sentry matches a module without CodeView record by it): give its image with --image
$try" -- "$cli" breakpad "$vnc" --sentry
check "no MAP file" 2 "" "quillfen-cli: breakpad: a MAP file is needed
$try" -- "$cli" breakpad --module A.exe
check "two MAP files" 2 "" "quillfen-cli: breakpad: one MAP file only (\"$vnc\")
$try" -- "$cli" breakpad "$vnc" "$vnc"
check "unknown option" 2 "" "quillfen-cli: breakpad: unknown option \"--pdb\"
$try" -- "$cli" breakpad "$vnc" --pdb
check "-o without a file" 2 "" "quillfen-cli: breakpad: -o needs a file
$try" -- "$cli" breakpad "$vnc" -o
check "missing MAP file" 2 "" "*" -- "$cli" breakpad "$work/none.map"
grep -q '^quillfen-cli: cannot open ".*none.map": ' "$work/err" || fail "missing MAP file: $(cat "$work/err")"
check "an image that is none" 2 "" "quillfen-cli: breakpad: $vnc is not a Windows executable (no PE image)" -- \
  "$cli" breakpad "$vnc" --image "$vnc"
check "a MAP file without a segment table" 2 "" "quillfen-cli: breakpad: $work/rvas is not a MAP file with a segment table" -- \
  "$cli" breakpad "$work/rvas"
check "an output that cannot be written" 2 "" "quillfen-cli: breakpad: cannot write \"$work/no/such/dir.sym\": No such file or directory" -- \
  "$cli" breakpad "$vnc" -o "$work/no/such/dir.sym"

echo "failures: $failures"
[ "$failures" -eq 0 ]
