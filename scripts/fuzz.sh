#!/usr/bin/env bash
# Runs the MAP line table fuzzer for a bounded time on a copy of the seed
# corpus (the copy grows; the seeds in the repository stay as they are).
#   scripts/fuzz.sh BUILD_DIR SECONDS [TARGET]
# Exits non-zero when the fuzzer finds a crash, a failed check or a leak; the
# input that caused it is left in BUILD_DIR/fuzz-work/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:?usage: fuzz.sh BUILD_DIR SECONDS}"
seconds="${2:?usage: fuzz.sh BUILD_DIR SECONDS}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac

# TARGET: fuzz_mapfile (the default), fuzz_peversion (seeds in corpus-pe) or
# fuzz_minidump (seeds in corpus-minidump).
target="${3:-fuzz_mapfile}"
seeds="$root/tests/fuzz/corpus"
[ "$target" = fuzz_peversion ] && seeds="$root/tests/fuzz/corpus-pe"
[ "$target" = fuzz_minidump ] && seeds="$root/tests/fuzz/corpus-minidump"
fuzzer="$build/bin/$target"
[ -x "$fuzzer" ] || { echo "fuzz.sh: $fuzzer not built (configure with -DQF_FUZZ=ON and clang)" >&2; exit 2; }

work="$build/fuzz-work"
rm -rf "$work"
mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"

cd "$work"
status=0
"$fuzzer" corpus \
  -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$work/" -print_final_stats=1 >"$work/fuzz.log" 2>&1 || status=$?
tail -n 25 "$work/fuzz.log"
if [ "$status" -ne 0 ] || ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* >/dev/null 2>&1; then
  echo "fuzz.sh: the fuzzer stopped with status $status; see $work" >&2
  exit 1
fi
echo "fuzz.sh: no failure in $seconds s"
