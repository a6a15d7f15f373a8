#!/usr/bin/env bash
# DecodeX86's length of every instruction binutils' objdump lists in real
# x86 code: the 32-bit test programs the build makes and keeps, and Wine's
# own 32-bit DLLs where they are installed.
#   x86length_objdump_test.sh X86LENGTH_CHECK OBJDUMP IMAGE...
set -u
check="$1" objdump="$2"
shift 2
failures=0 images=0
wine=/usr/lib/wine/i386-windows
[ -d "$wine" ] || wine=/usr/lib/x86_64-linux-gnu/wine/i386-windows
if [ -d "$wine" ]; then set -- "$@" "$wine"/*.dll; else echo "no 32-bit Wine DLLs here ($wine): left out"; fi
for image in "$@"; do
  [ -f "$image" ] || { echo "FAIL: $image missing"; failures=$((failures + 1)); continue; }
  images=$((images + 1))
  "$objdump" -d --insn-width=16 "$image" | "$check" "$image" || failures=$((failures + 1))
done
echo "$images images, $failures failed"
[ "$failures" -eq 0 ]
