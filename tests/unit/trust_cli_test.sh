#!/usr/bin/env bash
# Answers a user can trust: each row runs one command on real files of tests/
# (standard input from the row) and wants its exit status and one line it must
# print on standard output or standard error.
#   trust_cli_test.sh PATH-TO-quillfen-cli TESTS-DIR
set -u
cli="$1" tests="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0

cp "$tests/data/real-maps/bratpidd-Project1.map" Project1.map
cp "$tests/data/real-maps-modern/MarcosFabioMartins-Project1.map" Segments.map  # segments only
cp "$tests/data/real-maps-modern/andremussche-VncDllLoader.map" MyLib.map
cp "$tests/dumps/win64/CrashApp.exe" App64.exe
cp "$tests/dumps/windows-x86/minidump2.dmp" .
"$cli" db --db db add Project1 1.0.0.0 Project1.map >/dev/null
"$cli" db --db db add MyLib 2.0.0.0 MyLib.map >/dev/null
"$cli" db --db db add Project1 1.2.10 Project1.map >/dev/null
"$cli" db --db db add Project1 1.2.9 Project1.map >/dev/null
event='Faulting application name: Project1.exe, version: 1.0.0.0, time stamp: 0x2a425e19\r\n'
ntdll="${event}Faulting module name: ntdll.dll, version: 6.1.7601.17514, time stamp: 0x4ce7ba58\r\nFault offset: 0x0002e3be\r\nkernel32.dll+0x1234 user32.dll+0x10\r\n"
mylib="${event}Faulting module name: MyLib.dll, version: 2.0.0.0, time stamp: 0x2a425e19\r\nFault offset: 0x000e6446\r\n"
german="${event}Name des fehlerhaften Moduls: Project1.exe\r\nFehleroffset: 0x0005894f\r\n"

# exit, standard input, the line, command (tab-separated, - for no input, <FILE for a file's bytes;
# the command's words split at spaces)
rows=$(cat <<'EOF'
1	-	quillfen-cli: not an address: "xyz"	symbolize Project1.map 0x4833D9 xyz 0x4833DE
1	-	0x004833DE TVertice.Create+0x12 (Unit1) Unit1.pas:194	symbolize Project1.map 0x4833D9 xyz 0x4833DE
1	-	{"address":"xyz","error":"not an address"}	symbolize Project1.map --json 0x4833D9 xyz
0	-	0x004833D9 TVertice.Create+0xD (Unit1) Unit1.pas:193	symbolize Project1.map @ 004833D9
0	-	0x004833D9 TVertice.Create+0xD (Unit1) Unit1.pas:193	symbolize Project1.map 0x4833D9@CR
1	$ntdll	quillfen-cli: no address of Project1.exe found in the report (3 addresses of other modules skipped, 2 addresses outside its code)	symbolize Project1.map --report -
1	$ntdll	quillfen-cli: the event's faulting module is ntdll.dll, not Project1.exe: its fault offset is skipped	symbolize Project1.map --report -
1	-	quillfen-cli: the report is empty	symbolize Project1.map --report -
1	$german	quillfen-cli: no address of Project1.exe found in the report (2 addresses outside its code)	symbolize Project1.map --report -
0	$utf16	0x0045894F TCustomDockForm.CMControlListChange+0xF (Forms) ??	symbolize Project1.map --report -
0	$mylib	quillfen-cli: db symbolize: project MyLib, version 2.0.0.0 (MyLib.dll); the build could not be checked (no .build file)	db --db db symbolize --report -
1	$ntdll	quillfen-cli: db symbolize: the faulting module ntdll.dll has no stored project (ntdll); the application's project Project1 is taken	db --db db symbolize --report -
2	-	quillfen-cli: no database at typo	db --db typo projects
2	-	quillfen-cli: no database at typo	db --db typo versions Project1
2	-	quillfen-cli: no database at typo	db --db typo symbolize Project1 1.0.0.0 0x4833D9
1	-	quillfen-cli: db symbolize: no stored version 9.9 of project Project1; stored versions: 1.0.0.0, 1.2.9, 1.2.10	db --db db symbolize Project1 9.9 0x4833D9
0	-	1.2.9.map	db --db db versions Project1
0	-	db/P/1.0.0.0.map	db --db db add P 1.0.0.0.map Project1.map
1	-	quillfen-cli: db add: the project name "CON" is a device name Windows reserves (CON, PRN, AUX, NUL, COM1-9, LPT1-9)	db --db db add CON 1 Project1.map
1	-	quillfen-cli: db add: the version name "a*b?" holds "*", which Windows file names cannot hold (<>:"/\|?*)	db --db db add P a*b? Project1.map
1	-	quillfen-cli: db add: the project name ".hidden" begins with ".", which the listings leave out	db --db db add .hidden 1 Project1.map
1	-	quillfen-cli: db add: the version name "1.0 " ends in a space, which Windows drops from file names	db --db db add P 1.0@ Project1.map
1	-	quillfen-cli: cannot create the folder "Project1.map/P": Not a directory	db --db Project1.map add P 1 Project1.map
2	-	quillfen-cli: pdb: cannot write "Project1.map/P1.pdb": Not a directory	pdb Project1.map -o Project1.map/P1.pdb
0	-	quillfen-cli: symbolize: Segments.map has segments only (no publics, no line numbers), so no address gets a function (Delphi: Map file = Detailed; C++Builder: map file "detailed segments" with publics)	symbolize Segments.map 0x401000
1	-	quillfen-cli: breakpad: Segments.map has segments only (no publics, no line numbers), so no address gets a function (Delphi: Map file = Detailed; C++Builder: map file "detailed segments" with publics); its symbol file would name no function (--force writes it anyway)	breakpad Segments.map
0	-	warning: test_app.exe is 0x2D000 bytes in the dump, but the code of Project1.map runs to 0x48D85C (0x8D85C bytes from its base): the MAP file is of another build, its answers are doubtful	symbolize Project1.map --module test_app.exe --minidump minidump2.dmp
0	<minidump2.dmp	#0 0x0040429E test_app.exe+0x429E @InitImports+0x1E (System) ??	symbolize Project1.map --module test_app.exe --minidump -
2	-	quillfen-cli: db add-build: App64.exe is a 64-bit image, Project1.map the MAP file of a 32-bit one	db --db db add-build App64.exe Project1.map
2	-	quillfen-cli: breakpad: App64.exe is a 64-bit image, Project1.map the MAP file of a 32-bit one	breakpad Project1.map --image App64.exe
2	-	quillfen-cli: pdb: App64.exe is a 64-bit image, Project1.map the MAP file of a 32-bit one	pdb Project1.map --image App64.exe
EOF
)
utf16=$(printf 'Access violation at address 0045894F in module %s.\r\n' "'Project1.exe'" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -d '\n' | sed 's/ /\\x/g')
while IFS=$'\t' read -r want input line command; do
  # "@ " stands for a leading space, "@" at the end for a trailing one, "@CR" for a CR.
  read -r -a words <<<"$command"
  for i in "${!words[@]}"; do
    w="${words[$i]}"
    [ "$w" = "@" ] && { w=" ${words[$((i + 1))]}"; words[$((i + 1))]=""; }
    w="${w//@CR/$'\r'}"
    [[ "$w" == *@ ]] && w="${w%@} "
    words[$i]="$w"
  done
  args=()
  for w in "${words[@]}"; do [ -n "$w" ] && args+=("$w"); done
  text=""
  [ "$input" != - ] && [[ "$input" != "<"* ]] && eval "text=\"$input\""
  if [[ "$input" == "<"* ]]; then "$cli" "${args[@]}" <"${input#<}" >out 2>err; else
    printf '%b' "$text" | "$cli" "${args[@]}" >out 2>err; fi
  status=$?
  if [ "$status" -ne "$want" ] || ! grep -Fxq -- "$line" out err; then
    echo "FAIL $command: exit $status (want $want), wanted the line: $line"
    cat out err | head -5
    failures=$((failures + 1))
  else
    echo "ok   $command"
  fi
done <<<"$rows"
[ -e typo ] && { echo "FAIL: a read-only db command made the folder typo"; failures=$((failures + 1)); }

echo "failures: $failures"
[ "$failures" -eq 0 ]
