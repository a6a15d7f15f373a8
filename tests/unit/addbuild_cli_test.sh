#!/usr/bin/env bash
# quillfen-cli db add-build and db symbolize --report without PROJECT VERSION,
# on executables written by make_pe_image (PE32, PE32+, no resources) and a
# MAP file of the test data. Runs the native programs, or the .exe ones under
# Wine when WRAPPER is given (paths are then compared with "/" for "\").
#   addbuild_cli_test.sh QUILLFEN-CLI MAKE-PE-IMAGE TESTDATA-DIR [WRAPPER]
set -u
cli="$1" makepe="$2" data="$3" wrapper="${4:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0

run() { if [ -n "$wrapper" ]; then "$wrapper" "$@"; else "$@"; fi; }

normalise_paths=1
source "$(dirname "${BASH_SOURCE[0]}")/cli_check_files.sh"

db() { run "$cli" db --db db "$@"; }
stored() { find db -type f | sort | tr '\n' ' '; }

run "$makepe" App.exe pe32 1.4.0.12
run "$makepe" App64.exe pe32+ 2.10.3.0
run "$makepe" Bare.exe no-resources
run "$makepe" Lib.dll pe32 3.0.0.1
run "$makepe" Pkg.bpl pe32+ 4.5.6.7
cp "$data/small.map" Lib.map
cp "$data/../dumps/win64/CrashLib.map" Pkg.map
cp "$data/small.map" App.map
cp "$data/../dumps/win64/CrashApp.map" App64.map
cp "$data/no-lines.map" empty.map
printf 'plain text\n' > notes.exe

check "add-build" 0 "db/App/1.4.0.12.map" "" db add-build App.exe
cmp -s App.map db/App/1.4.0.12.map || { echo "FAIL: the stored file differs"; failures=$((failures + 1)); }
check "64-bit image and a MAP file given" 0 "db/App64/2.10.3.0.map" "" db add-build App64.exe App64.map
check "a library" 0 "db/Lib/3.0.0.1.map" "" db add-build Lib.dll
check "a package" 0 "db/Pkg/4.5.6.7.map" "" db add-build Pkg.bpl
check "project given" 0 "db/Other/1.4.0.12.map" "" db add-build --project Other App.exe
# The executable is kept beside its MAP file with its own extension, unless --no-image.
for kept in App/1.4.0.12.exe:App.exe App64/2.10.3.0.exe:App64.exe Lib/3.0.0.1.dll:Lib.dll Pkg/4.5.6.7.bpl:Pkg.bpl; do
  cmp -s "${kept#*:}" "db/${kept%%:*}" || { echo "FAIL: db/${kept%%:*} is not ${kept#*:}"; failures=$((failures + 1)); }
done
check "--no-image" 0 "db/NoImage/1.4.0.12.map" "" db add-build --no-image --project NoImage App.exe
[ "$(find db/NoImage -type f | sort | tr '\n' ' ')" = "db/NoImage/1.4.0.12.build db/NoImage/1.4.0.12.map " ] ||
  { echo "FAIL: --no-image kept: $(find db/NoImage -type f)"; failures=$((failures + 1)); }
# Listings name the MAP files only.
check "versions list no executable" 0 "1.4.0.12.map" "" db versions App
before="$(stored)"
check "existing version" 1 "" "quillfen-cli: This version already exists" db add-build App.exe
check "existing version in another case" 1 "" "quillfen-cli: This version already exists" \
  db add-build --project APP App.exe
check "invalid MAP file" 1 "" "quillfen-cli: Invalid MAP file" db add-build --project New App.exe empty.map
check "unsafe project" 1 "" "quillfen-cli: db add-build: the project name \"..\" names a folder itself, not a name of its own" db add-build --project .. App.exe
# The system's own path form appears in an open error: exact under POSIX only.
[ -z "$wrapper" ] && check "no MAP file beside" 2 "" \
  "quillfen-cli: cannot open \"$work/Bare.map\": No such file or directory" \
  db add-build --project New App.exe Bare.map
check "not a PE image" 2 "" "quillfen-cli: \"notes.exe\" is not a Windows executable (no PE image)" \
  db add-build notes.exe App.map
# Without a version resource the build is stored under its identity alone
# (TimeDateStamp 5F1E2A3B, SizeOfImage 0x2000).
check "no version resource" 0 "db/Bare/5F1E2A3B2000.map" \
  "quillfen-cli: db add-build: \"Bare.exe\" has no version resource; its build is stored as 5F1E2A3B2000" \
  db add-build Bare.exe App.map
[ -z "$wrapper" ] && check "missing executable" 2 "" \
  "quillfen-cli: cannot open \"$work/None.exe\": No such file or directory" db add-build None.exe
[ "$(stored | sed 's#db/Bare/5F1E2A3B2000\.build db/Bare/5F1E2A3B2000\.exe db/Bare/5F1E2A3B2000\.map ##')" = "$before" ] ||
  { echo "FAIL: a refused add-build stored a file: $(stored)"; failures=$((failures + 1)); }

# A Windows Application Error event: module and version from the report.
printf 'Faulting application name: App.exe, version: 1.4.0.12, time stamp: 0x5f1e2a3b\r\n%s\r\n%s\r\n' \
  'Faulting module name: App.exe, version: 1.4.0.12' 'Fault offset: 0x00001115' > event.txt
check "report names a stored version" 0 "0x00401115 Engine.Start+0x15 (??) Engine.pas:11" \
  "quillfen-cli: db symbolize: project App, version 1.4.0.12 (App.exe)" db symbolize --report event.txt
sed 's/1\.4\.0\.12/1.4.0.13/g' event.txt > newer.txt
check "report of a version not stored" 1 "" \
  "$(printf 'quillfen-cli: db symbolize: no stored version 1.4.0.13 of project App; stored versions:\n  1.4.0.12')" \
  db symbolize --report newer.txt
check "version given by hand" 0 "0x00401115 Engine.Start+0x15 (??) Engine.pas:11" \
  "quillfen-cli: db symbolize: project App, version 1.4.0.12 (App.exe)" \
  db symbolize --build-version 1.4.0.12 --report newer.txt
# Another build of 1.4.0.12 (TimeDateStamp 5F1E2A3C) goes beside the first;
# the event's time stamp picks the build.
mkdir twin
run "$makepe" twin/App.exe pe32 1.4.0.12 5F1E2A3C
sed 's/Engine\.Start/TwinEngine.Start/' "$data/small.map" > twin/App.map
twin='twin/App.exe'
[ -n "$wrapper" ] && twin='twin\App.exe'  # the Windows program takes only "\" as a separator
check "add-build of another build of a stored version" 0 "db/App/1.4.0.12-5F1E2A3C3000.map" \
  "quillfen-cli: db add-build: version 1.4.0.12 of project App is stored already for another build (5F1E2A3B3000); this build is stored as 1.4.0.12-5F1E2A3C3000" \
  db add-build "$twin"
check "the same build again" 1 "" "quillfen-cli: This version already exists" db add-build "$twin"
sed 's/0x5f1e2a3b/0x5f1e2a3c/' event.txt > twin-event.txt
check "the event's time stamp picks the build" 0 "0x00401115 TwinEngine.Start+0x15 (??) Engine.pas:11" \
  "quillfen-cli: db symbolize: project App, version 1.4.0.12-5f1e2a3c3000 (App.exe)" db symbolize --report twin-event.txt
sed 's/0x5f1e2a3b/0x5f1e2a3d/' event.txt > unknown-event.txt
check "a time stamp of no stored build" 1 "" \
  "quillfen-cli: db symbolize: version 1.4.0.12 of project App is stored for another build (time stamp 0x5F1E2A3B, the report's 0x5F1E2A3D); --any-build takes it" \
  db symbolize --report unknown-event.txt
check "--any-build" 0 "0x00401115 Engine.Start+0x15 (??) Engine.pas:11" \
  "quillfen-cli: db symbolize: project App, version 1.4.0.12 (App.exe); another build (time stamp 0x5F1E2A3B, the report's 0x5F1E2A3D) taken by --any-build" \
  db symbolize --any-build --report unknown-event.txt
# Stored by db add, without a .build file: found by its version, unchecked.
run "$cli" db --db db add Plain 2.0.0.1 App.map >/dev/null
sed 's/App\.exe/Plain.exe/g; s/1\.4\.0\.12/2.0.0.1/g' event.txt > plain-event.txt
check "a version without a .build file" 0 "0x00401115 Engine.Start+0x15 (??) Engine.pas:11" \
  "quillfen-cli: db symbolize: project Plain, version 2.0.0.1 (Plain.exe); the build could not be checked (no .build file)" \
  db symbolize --report plain-event.txt

printf 'Access violation at address 00401115 in module App.exe.\n' > dialog.txt
check "report without a version" 1 "" \
  "quillfen-cli: db symbolize: the report gives no version of App.exe; give --build-version X.Y.Z.W or PROJECT VERSION" \
  db symbolize --report dialog.txt

# symbolize refuses a file without a segment table; "--" ends the options.
check "symbolize of a file that is not a MAP file" 2 "" \
  "quillfen-cli: symbolize: notes.exe is not a MAP file with a segment table" run "$cli" symbolize notes.exe 0x401000
check "symbolize after --" 0 "0x00401115 Engine.Start+0x15 (??) Engine.pas:11" "" \
  run "$cli" symbolize --rva -- App.map 0x1115

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all add-build cli checks passed"
