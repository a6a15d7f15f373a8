#!/usr/bin/env bash
# quillfen-cli symbolize --minidump with the modules' images (--image,
# --images) on the kept dump of tests/dumps/Frameless (x86-64, -O2
# -fomit-frame-pointer): every frame of frameless64.answers down to the
# return into kernel32.dll is found by unwind and answered as addr2line
# does; an image of another build is ignored with one line on standard error.
# Runs the native program, or the .exe one under Wine when WRAPPER is given.
#   unwind_cli_test.sh QUILLFEN-CLI DUMPS-DIR [WRAPPER]
set -u
cli="$1" dumps="$2" wrapper="${3:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
# Relative paths only: the same under Wine.
cp "$dumps"/Frameless/data/* "$work/"
mkdir "$work/images" "$work/other"
cp "$dumps"/Frameless/data/Frameless.exe "$dumps"/Frameless/data/FrameLib.dll "$work/images/"
cp "$dumps"/Checked32/data/Checked32.exe "$work/other/FrameLib.dll"
cd "$work"

source "$(dirname "${BASH_SOURCE[0]}")/wine_cli.sh"

# The frame lines the answers file gives for FrameLib.dll's MAP file: frames
# 0 to 10 (the one into ntdll.dll needs kernel32.dll's image).
awk '$1 == "frame" && $2 <= 10 {
  line = "#" $2 " " $3 " "
  if ($4 == "?") { print line "kernel32.dll\\+0x[0-9A-F]+"; next }
  line = line $4 "\\+" $5
  if ($4 == "FrameLib.dll") {
    fn = $6; if (fn == "??") fn = "Frame[A-Za-z]+"
    line = line " " fn "\\+0x[0-9A-F]+ \\(FrameLib\\) "
    line = line ($8 == "?" ? "\\?\\?" : $7 ":" $8)
  }
  print "^" line "$"
}' frameless64.answers >want
[ "$(wc -l <want)" -eq 11 ] || fail "frameless64.answers holds 11 frames down to kernel32.dll"

check_frames() {
  local name="$1"
  grep '^#' out >got
  if [ "$(wc -l <got)" -ne 11 ]; then fail "$name: $(wc -l <got) frames, expected 11"; cat out; return; fi
  local ok=1
  while IFS= read -r pattern && IFS= read -r line <&3; do
    [[ $line =~ $pattern ]] || { fail "$name: \"$line\" does not match $pattern"; ok=0; }
  done <want 3<got
  [ $ok -eq 1 ] && pass "$name"
}

if expect "--image twice" 0 q symbolize FrameLib.map --image Frameless.exe --image FrameLib.dll \
     --minidump frameless64.dmp; then
  check_frames "--image: every frame by unwind"
  [ ! -s err ] || fail "--image: nothing on standard error, got: $(cat err)"
fi
if expect "--images" 0 q symbolize FrameLib.map --images images --minidump frameless64.dmp; then
  check_frames "--images: every frame by unwind"
fi
# Without images: the chain ends at frame 0.
if expect "no image" 0 q symbolize FrameLib.map --minidump frameless64.dmp; then
  [ "$(grep -c '^#' out)" -eq 1 ] && pass "no image: frame 0 only" || fail "no image: $(grep -c '^#' out) frames"
fi

# JSON: found_by unwind; the call target where the call is E8 (FrameMix's
# call of FrameCallLast, whose return address is FrameLeaf's first byte).
if expect "--json" 0 q symbolize FrameLib.map --image FrameLib.dll --image Frameless.exe --json \
     --minidump frameless64.dmp; then
  unwound=$(grep -o '"found_by":"unwind"' out | wc -l)
  [ "$unwound" -eq 10 ] && pass "--json: 10 frames found by unwind" || fail "--json: $unwound frames by unwind"
  grep -q '"frame":1,"address":"0x00000000014A1390",[^}]*"found_by":"unwind","call_target":"0x00000000014A1390"' out &&
    pass "--json: call_target of the call that ends its function" || fail "--json: call_target missing: $(cat out)"
fi

# An image of another build (here not even the same program): ignored, one line.
if expect "wrong image" 0 q symbolize FrameLib.map --image other/FrameLib.dll --image Frameless.exe \
     --minidump frameless64.dmp; then
  [ "$(wc -l <err)" -eq 1 ] && grep -q '^quillfen-cli: symbolize: other/FrameLib.dll is not the image of FrameLib.dll in the dump (TimeDateStamp 0x[0-9A-F]\{8\}, SizeOfImage 0x[0-9A-F]*; the dump'"'"'s 0x[0-9A-F]\{8\}, 0x22000); ignored$' err &&
    pass "wrong image: one line on standard error" || fail "wrong image: $(cat err)"
  # Frame 0 lies in the library without image: the walk goes on as without one.
  [ "$(grep -c '^#' out)" -eq 1 ] && pass "wrong image: not used" || fail "wrong image: used"
fi
if expect "--images with another build" 0 q symbolize FrameLib.map --images other --minidump frameless64.dmp; then
  [ "$(wc -l <err)" -eq 1 ] && pass "--images: another build named once" || fail "--images: $(cat err)"
fi
if expect "not an image" 0 q symbolize FrameLib.map --image FrameLib.map --minidump frameless64.dmp; then
  grep -qx 'quillfen-cli: symbolize: FrameLib.map is not a PE image; ignored' err &&
    pass "not an image: ignored" || fail "not an image: $(cat err)"
fi

# db symbolize --minidump with the executables db add-build kept: every frame
# by unwind, each module answered from its own MAP file; with --no-image the
# chain alone, and --images gives them again.
expect "add-build Frameless.exe" 0 q db --db db add-build Frameless.exe
expect "add-build FrameLib.dll" 0 q db --db db add-build FrameLib.dll
if expect "db symbolize with stored images" 0 q db --db db symbolize --json --minidump frameless64.dmp; then
  unwound=$(grep -o '"found_by":"unwind"' out | wc -l)
  [ "$unwound" -eq 10 ] && grep -q '"function":"main"' out && grep -q '"function":"FrameMix"' out &&
    pass "db symbolize: stored images, 10 frames by unwind" || fail "db symbolize: $unwound by unwind: $(cat out)"
fi
expect "add-build --no-image" 0 q db --db bare add-build --no-image Frameless.exe
expect "add-build --no-image" 0 q db --db bare add-build --no-image FrameLib.dll
if expect "db symbolize without images" 0 q db --db bare symbolize --minidump frameless64.dmp; then
  [ "$(grep -c '^#' out)" -eq 1 ] && pass "db symbolize --no-image: frame 0 only" || fail "--no-image: $(cat out)"
fi
if expect "db symbolize --images" 0 q db --db bare symbolize --images images --minidump frameless64.dmp; then
  [ "$(grep -c '^#' out)" -eq 11 ] && pass "db symbolize --images: 11 frames" || fail "db --images: $(cat out)"
fi

# Usage errors.
for args in "--image Frameless.exe 0x1000" "--images images 0x1000" "--image"; do
  if expect "usage: $args" 2 q symbolize FrameLib.map $args; then
    [ "$(tail -1 err)" = "Try 'quillfen-cli --help'" ] && pass "usage: $args" || fail "usage: $args: $(cat err)"
  fi
done
if expect "missing image" 2 q symbolize FrameLib.map --image nothing.dll --minidump frameless64.dmp; then
  grep -q '^quillfen-cli: .*nothing.dll' err && pass "missing image: exit 2" || fail "missing image: $(cat err)"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
