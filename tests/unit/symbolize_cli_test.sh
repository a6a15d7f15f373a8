#!/usr/bin/env bash
# quillfen-cli symbolize end to end on real MAP files: the address forms, the
# relocation options, JSON Lines, whole crash reports, db symbolize and the
# usage errors.
#   symbolize_cli_test.sh PATH-TO-quillfen-cli REAL-MAPS-MODERN-DIR
set -u
cli="$1"
real="$2"
for f in andremussche-VncDllLoader.map jason-2018-Project1.map WangGangNameZebei-Project1.map; do
  [ -r "$real/$f" ] || { echo "real MAP file missing: $real/$f" >&2; exit 1; }
done
failures=0
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A MAP file belongs to the module named after it: VncDllLoader.map to VncDllLoader.exe.
cp "$real/andremussche-VncDllLoader.map" "$work/VncDllLoader.map"
vnc="$work/VncDllLoader.map"                  # Delphi 2010, LF
bdb="$real/jason-2018-Project1.map"           # Delphi 2006, CR LF, a source path with spaces
gbk="$real/WangGangNameZebei-Project1.map"    # C++Builder 6, old layout, module paths with GBK bytes

source "$(dirname "${BASH_SOURCE[0]}")/cli_check.sh"

insert="0x004E6446 MainForm.TList<frViewer.TframViewer>.InsertRange+0x46 (MainForm) Generics.Collections.pas:727"
itext="0x004EE010 System.System+0x10 (System) System.pas:23077"
loadViewer="0x004E5446 MainForm.TForm1.actLoadViewerExecute+0x26 (MainForm) MainForm.pas:152"

# --- Address forms and relocation ------------------------------------------
check "forms of an absolute address" 0 "$insert
$insert
$insert
$itext" "" -- "$cli" symbolize "$vnc" 0x004E6446 '$004E6446' 4e6446 0x004EE010
check "outside the code" 1 "$insert
0x00000010 (not in code)
0x004F0000 (not in code)" "" -- "$cli" symbolize "$vnc" 0x004E6446 0x10 0x4F0000
check "MODULE+0xRVA and --rva" 0 "$insert
$insert
$insert" "" -- "$cli" symbolize "$vnc" VncDllLoader.exe+0xE6446 --rva 0xE6446 'vncdllloader.DLL+$000E6446'
check "MODULE+0xRVA of another module" 1 "$insert
kernel32.dll+0x12345 (in another module than VncDllLoader)
Project1.exe+0xE6446 (in another module than VncDllLoader)" "" -- \
  "$cli" symbolize "$vnc" VncDllLoader.exe+0xE6446 kernel32.dll+0x12345 Project1.exe+0xE6446
check "--module names the MAP file's module" 0 "$insert" "" -- \
  "$cli" symbolize "$real/andremussche-VncDllLoader.map" --module VncDllLoader.exe VncDllLoader.exe+0xE6446
check "JSON: another module" 1 \
  '{"address":"ntdll.dll+0xCE753","module":"ntdll.dll","segment":null,"unit":null,"function":null,"function_offset":null,"file":null,"line":null}' "" -- \
  "$cli" symbolize "$vnc" --json ntdll.dll+0xce753
check "--base: loaded elsewhere, shown in the MAP's layout" 0 "$insert
$insert" "" -- "$cli" symbolize "$vnc" --base 0x10000000 0x100E6446 VncDllLoader.exe+0xE6446
check "--base=ADDR below the base" 1 "0x003FFFFF (not in code)" "" -- "$cli" symbolize "$vnc" --base=0x10000000 0x0FFFFFFF
check "--image-base: another preferred base" 0 \
  "0x100E6446 MainForm.TList<frViewer.TframViewer>.InsertRange+0x46 (MainForm) Generics.Collections.pas:727" "" -- \
  "$cli" symbolize "$vnc" --image-base 0x10000000 0x100E6446
check ".itext of a CR LF file, a source path with spaces" 0 \
  'x004B0920 Project1.Project1+0x4 (Project1) D:\Berkeley DB\build_win32\Project1.dpr:19' "" -- \
  bash -c "\"$cli\" symbolize \"$bdb\" 0x004B0920 | cut -c2-"
stdin_text=$'0x004E6446\r\n\n  VncDllLoader.exe+0xE5446  \nnonsense\n0x10\n'
check "addresses from standard input" 1 "$insert
$loadViewer
0x00000010 (not in code)" 'quillfen-cli: not an address: "nonsense"' -- "$cli" symbolize "$vnc" -
unset stdin_text

# --- JSON Lines ---------------------------------------------------------------
check "JSON: backslashes of a Windows path" 0 \
  '{"address":"0x004B0920","segment":".itext","unit":"Project1","function":"Project1.Project1","function_offset":4,"file":"D:\\Berkeley DB\\build_win32\\Project1.dpr","line":19}' "" -- \
  "$cli" symbolize "$bdb" --json 0x004B0920
check "JSON: not in code, every field null" 1 \
  '{"address":"0x00000010","segment":null,"unit":null,"function":null,"function_offset":null,"file":null,"line":null}' "" -- \
  "$cli" symbolize "$vnc" 0x10 --json
# The unit's name holds GBK bytes: each byte is read as Latin-1 and written as UTF-8.
"$cli" symbolize "$gbk" --json 0x00401C60 >"$work/gbk.json"
if python3 -c 'import json,sys; o=json.loads(open(sys.argv[1],encoding="utf-8").read())
raw=o["unit"].encode("latin-1")
assert raw.startswith(b"C:\\DOCUMENTS AND SETTINGS\\ZCC\\") and raw.endswith(b"\\PROJECT1.OBJ"), raw
assert o["function"]=="WinMain" and o["function_offset"]==8 and o["file"] is None and o["line"] is None, o
assert open(sys.argv[2],"rb").read().find(b"M="+raw+b" ")>0' "$work/gbk.json" "$gbk"; then
  echo "ok   JSON: bytes outside ASCII"
else
  echo "FAIL JSON: bytes outside ASCII"; cat "$work/gbk.json"; failures=$((failures + 1))
fi

# Names in well-formed UTF-8 (Delphi on Windows 11) are written as they are; a
# name that is not (a lone E9 byte) is read as Latin-1.
utf8_map() {
  printf ' Start         Length     Name                   Class\r\n'
  printf ' 0001:00401000 00001000H .text                   CODE\r\n\r\n'
  printf 'Detailed map of segments\r\n\r\n'
  printf ' 0001:00000000 00000100 C=CODE S=.text G=(none) M=\xe8\xa1\xa8\xe7\xa4\xba ACBP=A9\r\n'
  printf ' 0001:00000100 00000100 C=CODE S=.text G=(none) M=Caf\xe9 ACBP=A9\r\n\r\n'
  printf 'Line numbers for \xe8\xa1\xa8\xe7\xa4\xba(\xd0\x9c\xd0\xbe\xd0\xb4.pas) segment .text\r\n\r\n'
  printf '    12 0001:00000010\r\n\r\n'
}
utf8_map >"$work/utf8.map"
check "JSON: names in UTF-8 as they are, others as Latin-1" 0 \
  "$(printf '{"address":"0x00401020","segment":".text","unit":"\xe8\xa1\xa8\xe7\xa4\xba","function":null,"function_offset":null,"file":"\xd0\x9c\xd0\xbe\xd0\xb4.pas","line":12}\n{"address":"0x00401120","segment":".text","unit":"Caf\xc3\xa9","function":null,"function_offset":null,"file":null,"line":null}')" "" -- \
  "$cli" symbolize "$work/utf8.map" --json 0x00401020 0x00401120

# --- C++Builder names: readable by default, short, or the linker's -----------------
# (the units, paths in GBK bytes, cut off; a C name as it stands; NL: a line end)
while IFS='|' read -r what options want; do
  check "$what" 0 "${want// NL /$'\n'}" "" -- bash -c \
    '"$0" symbolize "$1" $2 0x004B6460 0x0066A000 0x00401C60 | LC_ALL=C sed "s/ (C:.*\$//; s/\"unit\":\"[^\"]*\"/U/"' \
    "$cli" "$gbk" "$options"
done <<'ROWS'
C++Builder names readable||0x004B6460 __fastcall TForm1::Button11Click(System::TObject *)+0x10 NL 0x0066A000 __fastcall Scolordialog::TsColorDialogForm::sREditChange(System::TObject *)+0x34 NL 0x00401C60 WinMain+0x8
--short-names|--short-names|0x004B6460 TForm1::Button11Click+0x10 NL 0x0066A000 Scolordialog::TsColorDialogForm::sREditChange+0x34 NL 0x00401C60 WinMain+0x8
--no-demangle, over --short-names|--short-names --no-demangle|0x004B6460 @TForm1@Button11Click$qqrp14System@TObject+0x10 NL 0x0066A000 @Scolordialog@TsColorDialogForm@sREditChange$qqrp14System@TObject+0x34 NL 0x00401C60 WinMain+0x8
JSON: linkage_name where the names differ|--json|{"address":"0x004B6460","segment":"_TEXT",U,"function":"__fastcall TForm1::Button11Click(System::TObject *)","linkage_name":"@TForm1@Button11Click$qqrp14System@TObject","function_offset":16,"file":null,"line":null} NL {"address":"0x0066A000","segment":"_TEXT",U,"function":"__fastcall Scolordialog::TsColorDialogForm::sREditChange(System::TObject *)","linkage_name":"@Scolordialog@TsColorDialogForm@sREditChange$qqrp14System@TObject","function_offset":52,"file":null,"line":null} NL {"address":"0x00401C60","segment":"_TEXT",U,"function":"WinMain","function_offset":8,"file":null,"line":null}
JSON --no-demangle: no linkage_name|--json --no-demangle|{"address":"0x004B6460","segment":"_TEXT",U,"function":"@TForm1@Button11Click$qqrp14System@TObject","function_offset":16,"file":null,"line":null} NL {"address":"0x0066A000","segment":"_TEXT",U,"function":"@Scolordialog@TsColorDialogForm@sREditChange$qqrp14System@TObject","function_offset":52,"file":null,"line":null} NL {"address":"0x00401C60","segment":"_TEXT",U,"function":"WinMain","function_offset":8,"file":null,"line":null}
ROWS

# --- Crash reports --------------------------------------------------------------
cat >"$work/dialog.txt" <<'REPORT'
Access violation at address 004E6446 in module 'VncDllLoader.exe'. Read of address 00000000.
REPORT
check "report: an exception message" 0 "$insert" "" -- "$cli" symbolize "$vnc" --report "$work/dialog.txt"
cat >"$work/trace.txt" <<'REPORT'
exception class   : EAccessViolation
exception message : Access violation at address 004E6446 in module 'VncDllLoader.exe'. Read of address 00000000.
main thread ($1a2c):
004e6446 +046 VncDllLoader.exe Generics.Collections 727 +5 TList<frViewer.TframViewer>.InsertRange
[$004EE010] System.System
VncDllLoader.exe+0x000E5446 MainForm.TForm1.actLoadViewerExecute
stack: 0x0012FF80 0012FF84 not 004E6446x x004E6446 _004E6446 04E6446 0004E6446 004E6446
REPORT
check "report: a stack trace, each address once" 0 "$insert
$itext
$loadViewer" "" -- "$cli" symbolize "$vnc" --report "$work/trace.txt"
printf 'Faulting application name: VncDllLoader.exe, version: 1.0.0.0, time stamp: 0x4a5bc3ee\r\nFaulting module name: VncDllLoader.exe, version: 1.0.0.0, time stamp: 0x4a5bc3ee\r\nException code: 0xc0000005\r\nFault offset: 0x000e5446\r\nFaulting process id: 0x1a2c\r\n' >"$work/event.txt"
check "report: an Application Error event" 0 "$loadViewer" "" -- "$cli" symbolize "$vnc" --report "$work/event.txt"
# A heap corruption in ntdll.dll: its fault offset is never read against the program's MAP file.
sed 's/Faulting module name: VncDllLoader.exe/Faulting module name: ntdll.dll/' "$work/event.txt" >"$work/ntdll.txt"
check "report: the fault of another module" 1 "" "quillfen-cli: the event's faulting module is ntdll.dll, not VncDllLoader.exe: its fault offset is skipped
quillfen-cli: no address of VncDllLoader.exe found in the report (1 address of other modules skipped, 3 addresses outside its code)" -- "$cli" symbolize "$vnc" --report "$work/ntdll.txt"
check "report: another module's RVA skipped" 0 "$insert" "" -- \
  bash -c "printf 'kernel32.dll+0x000E6446\nVncDllLoader.exe+0xE6446\n' | \"\$0\" symbolize \"\$1\" --report -" "$cli" "$vnc"
iconv -f UTF-8 -t UTF-16 "$work/event.txt" >"$work/event16.txt"
stdin_text="$(cat "$work/trace.txt")"
check "report from standard input, relocated, JSON" 0 \
  '{"address":"0x004E5446","segment":".text","unit":"MainForm","function":"MainForm.TForm1.actLoadViewerExecute","function_offset":38,"file":"MainForm.pas","line":152}' "" -- \
  "$cli" symbolize "$vnc" --base 0x00500000 --json --report -
unset stdin_text
check "report: UTF-16 as the event viewer saves it" 0 "$loadViewer" "" -- \
  "$cli" symbolize "$vnc" --report "$work/event16.txt"
check "report: nothing in code" 1 "" "quillfen-cli: no address of VncDllLoader.exe found in the report (1 address outside its code)" -- "$cli" symbolize "$vnc" --report "$work/dialog.txt" --base 0x10000000
# The Delphi run-time's own texts (name, report, exit status, output, standard error).
convert="$loadViewer [EConvertError: 'abc' is not a valid integer value.]"
while IFS='|' read -r name text status want err; do
  printf "$text" >"$work/runtime.txt"
  check "report: $name" "$status" "$(printf "$want")" "$(printf "$err")" -- "$cli" symbolize "$vnc" --report "$work/runtime.txt"
done <<ROWS
exception, its message on the next line|Exception EConvertError in module VncDllLoader.exe at 000E5446.\r\n'abc' is not a valid integer value.\r\n|0|$convert|
exception, \$ and its message on its line|Exception EConvertError in module VncDllLoader.exe at \$000E5446. 'abc' is not a valid integer value.|0|$convert|
exception of another module|Exception EConvertError in module rtl270.bpl at 000E5446.\n'abc' is not a valid integer value.|1||quillfen-cli: skipped "Exception EConvertError in module rtl270.bpl at 000E5446.": its module rtl270.bpl is not the MAP file's module (VncDllLoader)\nquillfen-cli: no address of VncDllLoader found in the report (1 address of other modules skipped)
access violation, its data address not answered|Access violation at address 004E6446 in module 'VncDllLoader.exe'. Write of address 004EE010|0|$insert|
access violation of another module|Access violation at address 004E6446 in module 'rtl270.bpl'. Read of address 00000000|1||quillfen-cli: skipped "Access violation at address 004E6446 in module 'rtl270.bpl'. Read of address 00000000": its module rtl270.bpl is not the MAP file's module (VncDllLoader)\nquillfen-cli: no address of VncDllLoader found in the report (1 address of other modules skipped)
ROWS
printf "Exception EConvertError in module VncDllLoader.exe at 000E5446.\n'abc' is not a valid integer value.\n" >"$work/runtime.txt"
check "report: exception, JSON" 0 '{"address":"0x004E5446","segment":".text","unit":"MainForm","function":"MainForm.TForm1.actLoadViewerExecute","function_offset":38,"file":"MainForm.pas","line":152,"exception_class":"EConvertError","exception_message":"'"'"'abc'"'"' is not a valid integer value."}' "" -- \
  "$cli" symbolize "$vnc" --json --report "$work/runtime.txt"

# --- db symbolize ----------------------------------------------------------------
"$cli" db --db "$work/db" add VncDllLoader 2.0 "$vnc" >/dev/null
check "db symbolize" 0 "$insert
$itext" "" -- "$cli" db --db "$work/db" symbolize vncdllloader 2.0.map 0x004E6446 VncDllLoader.exe+0xEE010
check "db symbolize --report" 0 "$loadViewer" "" -- "$cli" db --db "$work/db" symbolize VncDllLoader 2.0 --report "$work/event.txt"
check "db symbolize: the project names the module" 1 "ntdll.dll+0x10 (in another module than VncDllLoader)" "" -- \
  "$cli" db --db "$work/db" symbolize VncDllLoader 2.0 ntdll.dll+0x10

mkdir -p "$work/db/Project1" && cp "$gbk" "$work/db/Project1/6.0.map"  # db add reads the old layout as no MAP file
check "db symbolize --short-names" 0 "0x004B6460 TForm1::Button11Click+0x10" "" -- \
  bash -c '"$0" db --db "$1" symbolize Project1 6.0 --short-names 0x004B6460 | LC_ALL=C sed "s/ (C:.*\$//"' "$cli" "$work/db"

# --- Usage errors and unreadable files ------------------------------------------
try="Try 'quillfen-cli --help'"
check "no MAP file" 2 "" "quillfen-cli: symbolize: a MAP file is needed
$try" -- "$cli" symbolize --json
check "no address" 2 "" "quillfen-cli: symbolize: an address or --report FILE is needed
$try" -- "$cli" symbolize "$vnc"
check "unknown option, never an address" 2 "" "quillfen-cli: symbolize: unknown option \"-0x10\"
$try" -- "$cli" symbolize "$vnc" 0x004E6446 -0x10
check "not an address" 1 "" "quillfen-cli: not an address: \"0x4E64G6\"" -- "$cli" symbolize "$vnc" 0x4E64G6
check "--base without an address" 2 "" "quillfen-cli: symbolize: --base needs a hexadecimal address
$try" -- "$cli" symbolize "$vnc" 0x004E6446 --base
check "--report with addresses" 2 "" "quillfen-cli: symbolize: --report takes no addresses
$try" -- "$cli" symbolize "$vnc" --report "$work/event.txt" 0x004E6446
check "unreadable MAP file" 2 "" \
  "quillfen-cli: cannot open \"$work/none.map\": No such file or directory" -- \
  "$cli" symbolize "$work/none.map" 0x004E6446
check "unreadable report" 2 "" \
  "quillfen-cli: cannot open \"$work/none.txt\": No such file or directory" -- \
  "$cli" symbolize "$vnc" --report "$work/none.txt"
# A folder, a file that is not a MAP file, and "--" ending the options.
check "a folder, in the command line's words" 2 "" "quillfen-cli: cannot open \"$work\": Is a directory" -- \
  "$cli" symbolize "$work" 0x00401000
printf 'just some text\n0001:00000010 Foo\n' >"$work/notmap.txt"
for file in /dev/null "$work/notmap.txt"; do
  check "no segment table: $file" 2 "" "quillfen-cli: symbolize: $file is not a MAP file with a segment table" -- \
    "$cli" symbolize "$file" 0x00401000
done
# Many lines at once (answered and written out on all processors) read as the
# same lines a few at a time, another module's among them, in JSON too.
awk 'BEGIN { for (i = 0; i < 30000; i++) {
  if (i % 7 == 0) printf "kernel32.dll+0x%X\n", i; else if (i % 5 == 0) printf "VncDllLoader.exe+0x%X\n", 0xE0000 + i * 3;
  else printf "0x%08X\n", 4198400 + i * 37 } }' >"$work/many.txt"
for json in "" --json; do
  "$cli" symbolize "$vnc" $json - <"$work/many.txt" >"$work/many.out" 2>&1
  split -l 1000 "$work/many.txt" "$work/part."
  for f in "$work"/part.*; do "$cli" symbolize "$vnc" $json - <"$f" 2>&1; done >"$work/few.out"
  check "many lines at once as a few at a time ${json:-plain}" 0 "" "" -- cmp "$work/many.out" "$work/few.out"
  rm -f "$work"/part.*
done
check "-- before an address: options before it still count" 0 "$insert" "" -- "$cli" symbolize "$vnc" --rva -- 0xE6446
check "--help after -- is an operand" 1 "" "quillfen-cli: not an address: \"--help\"" -- "$cli" symbolize "$vnc" -- --help
check "--help before -- shows the help" 0 "1" "" -- bash -c "\"$cli\" symbolize --help -- 0x1 | grep -c '^Usage:'"

echo "symbolize_cli_test: $failures failed"
[ "$failures" -eq 0 ]
