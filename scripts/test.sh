#!/usr/bin/env bash
# Sets up what is missing, builds every configuration and runs every test:
#   native GoogleTest, the same under AddressSanitizer+UBSan, the 64-bit
#   Windows build under 64-bit Wine (unit and GUI tests inside Xvfb), the
#   32-bit Windows build under 32-bit Wine where the machine runs 32-bit
#   programs, and each libFuzzer target for 15 s. Ends with one line
#   "steps: N passed, N failed".
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh || exit 1

jobs=$(nproc)
passed=0
failed=0
failures=()

step() {  # step NAME COMMAND...
  local name="$1"; shift
  echo "=== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
  fi
}

configure_build() {  # configure_build DIR CMAKE-ARGS...
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null && cmake --build "$dir" -j "$jobs"
}

run_ctest() {  # run_ctest DIR [WRAPPER...]
  local dir="$1"; shift
  (cd "$dir" && "$@" ctest --output-on-failure -j 1)
}

step "native build" configure_build build/native
step "native tests" run_ctest build/native

step "sanitizer build" configure_build build/asan -DQF_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "sanitizer tests" run_ctest build/asan env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

# windows_tests DIR ENVFILE: the tests of a Windows build in Xvfb, each
# program run by the build's own Wine (the toolchain file's emulator). A Wine
# server left from another display would keep its desktop there.
windows_tests() {
  local dir="$1" status
  (source "scripts/$2"; wineserver -k >/dev/null 2>&1 || true)
  run_ctest "$dir" xvfb-run -a -s "-screen 0 1024x768x24"
  status=$?
  (source "scripts/$2"; wineserver -k >/dev/null 2>&1 || true)
  return $status
}

# The 64-bit Windows build runs on every machine (64-bit Wine); the 32-bit
# one, the build that ships, is always built and is tested where the machine
# runs 32-bit programs.
step "windows 64-bit build" configure_build build/mingw64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
step "windows 64-bit tests under wine64" windows_tests build/mingw64 wine64-env.sh
step "windows 32-bit build" configure_build build/mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
if scripts/wine32-works; then
  step "windows 32-bit tests under wine" windows_tests build/mingw wine-env.sh
else
  echo "=== windows 32-bit tests under wine: left out, $(scripts/wine32-works -v)"
fi

step "fuzz build" configure_build build/fuzz -DQF_FUZZ=ON -DQF_BUILD_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
# Each fuzz target for 15 s from its corpus in the repository (a copy: the
# corpus stays as it is).
source scripts/fuzz-targets.sh
for target in $(fuzz_targets "$root"); do
  step "fuzz run, $target (15 s)" bash scripts/fuzz.sh build/fuzz 15 "$target"
done

echo
if [ "$failed" -gt 0 ]; then
  echo "failed steps: ${failures[*]}"
fi
echo "steps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
