#!/usr/bin/env bash
# Measures how many inputs a second each fuzz target runs on one core (the
# targets one after another), under the address and undefined-behaviour
# sanitizers of the fuzz build, and prints them beside their goals:
#   - from its corpus: fuzzing as a campaign does, inputs up to 64 KB;
#   - at 64 KB: the largest corpus files repeated to 64 KB and fuzzed with
#     the length held at 64 KB (-len_control=0), the slowest case.
#   scripts/fuzz-speed.sh [BUILD_DIR] [SECONDS] [TARGET...]
# BUILD_DIR defaults to build/fuzz, SECONDS (each measurement) to 30.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/fuzz-targets.sh"
build="${1:-build/fuzz}"
seconds="${2:-30}"
shift $(($# < 2 ? $# : 2))
case "$build" in /*) ;; *) build="$root/$build" ;; esac
if [ $# -gt 0 ]; then targets=("$@"); else mapfile -t targets < <(fuzz_targets "$root"); fi
work="$build/fuzz-speed"

# speed TARGET FOLDER [OPTIONS...]: inputs a second of one run on FOLDER.
speed() {
  local target="$1" folder="$2"
  shift 2
  "$build/bin/$target" "$folder" -max_total_time="$seconds" "${fuzz_options[@]}" "$@" \
    >"$work/$target.log" 2>&1 || { echo "fuzz-speed: $target failed; see $work/$target.log" >&2; return 1; }
  fuzz_stat "$work/$target.log" average_exec_per_sec
}

# ratio A B: A / B with two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

printf '%-18s %6s %12s %6s %12s %6s\n' target goal "from corpus" ratio "at 64 KB" ratio
for target in "${targets[@]}"; do
  rm -rf "$work/corpus" "$work/64k"
  mkdir -p "$work/corpus" "$work/64k"
  cp "$(fuzz_corpus "$root" "$target")"/* "$work/corpus/"
  # The 32 largest inputs, each doubled until it holds 64 KB, then cut there.
  for f in $(ls -S "$work/corpus" | head -n 32); do
    [ -s "$work/corpus/$f" ] || continue
    cp "$work/corpus/$f" "$work/64k/$f"
    while [ "$(stat -c %s "$work/64k/$f")" -lt 65536 ]; do
      cat "$work/64k/$f" "$work/64k/$f" >"$work/64k/$f.twice"
      mv "$work/64k/$f.twice" "$work/64k/$f"
    done
    truncate -s 65536 "$work/64k/$f"
  done
  goal=$(fuzz_goal "$target")
  mixed=$(speed "$target" "$work/corpus")
  full=$(speed "$target" "$work/64k" -len_control=0)
  printf '%-18s %6s %12s %6s %12s %6s\n' "$target" "$goal" "$mixed" "$(ratio "$mixed" "$goal")" "$full" \
    "$(ratio "$full" "$goal")"
done
