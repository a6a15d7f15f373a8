#!/usr/bin/env bash
# Runs the libFuzzer targets of a fuzz build (-DQF_FUZZ=ON, clang).
#
#   scripts/fuzz.sh BUILD_DIR SECONDS [TARGET]
#     One target (fuzz_crosscheck when none is named) for SECONDS on a copy
#     of its corpus; the corpus in the repository stays as it is.
#
#   scripts/fuzz.sh all MINUTES [TARGET...]
#     A campaign: MINUTES of fuzzing in all, shared evenly by every target
#     (or by those named), FUZZ_JOBS of them at once (default: one per
#     processor), in the build FUZZ_BUILD (default build/fuzz). What each
#     target learns is merged into its corpus in the repository, minimized
#     (-merge=1); a target that fails is started again on its grown corpus
#     for the rest of its time. Ends with a table: target, inputs, inputs a
#     second, coverage at start and end, findings.
#
# A finding (crash, failed check, leak, timeout, out of memory) leaves its
# input in BUILD_DIR/fuzz-work/TARGET/ and prints the command that runs it
# again; the script then exits non-zero.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/fuzz-targets.sh"
usage="usage: fuzz.sh BUILD_DIR SECONDS [TARGET] | fuzz.sh all MINUTES [TARGET...]"

# run_target TARGET SECONDS WORK: fuzzes from WORK/corpus, artifacts in WORK;
# appends the log of each run to WORK/fuzz.log and writes WORK/result:
# "inputs seconds cov-start cov-end findings status". Stops at the first finding
# unless FUZZ_KEEP_GOING is set.
run_target() {
  local target="$1" seconds="$2" work="$3"
  local fuzzer="$build/bin/$target" started now left inputs=0 first="" last="" status=0 log n got
  started=$(date +%s)
  : >"$work/fuzz.log"
  for n in 1 2 3 4 5; do
    now=$(date +%s)
    left=$((seconds - (now - started)))
    [ "$left" -ge 1 ] || break
    log="$work/run-$n.log"
    status=0
    (cd "$work" && "$fuzzer" corpus -max_total_time="$left" "${fuzz_options[@]}" \
       -artifact_prefix="$work/" >"$log" 2>&1) || status=$?
    cat "$log" >>"$work/fuzz.log"
    got=$(fuzz_stat "$log" number_of_executed_units)
    inputs=$((inputs + ${got:-0}))
    [ -n "$first" ] || first=$(fuzz_cov "$log" first)
    last=$(fuzz_cov "$log" last)
    [ "$status" -ne 0 ] || break
    [ -n "${FUZZ_KEEP_GOING:-}" ] || break
  done
  local findings
  findings=$(findings_in "$work" | wc -l)
  echo "$inputs $(( $(date +%s) - started )) ${first:-0} ${last:-0} $findings $status" >"$work/result"
}

findings_in() { ls "$1"/crash-* "$1"/leak-* "$1"/timeout-* "$1"/oom-* 2>/dev/null || true; }

# prepare TARGET WORK: a fresh work folder holding a copy of the corpus.
prepare() {
  local corpus
  corpus=$(fuzz_corpus "$root" "$1")
  [ -x "$build/bin/$1" ] || { echo "fuzz.sh: $build/bin/$1 not built (configure with -DQF_FUZZ=ON and clang)" >&2; exit 2; }
  [ -d "$corpus" ] || { echo "fuzz.sh: no corpus $corpus" >&2; exit 2; }
  rm -rf "$2"
  mkdir -p "$2/corpus"
  cp "$corpus"/* "$2/corpus/"
}

# report_findings TARGET WORK: each input that failed and how to run it again.
report_findings() {
  local f
  for f in $(findings_in "$2"); do
    echo "fuzz.sh: $1 failed on $f; again: $build/bin/$1 $f"
  done
}

# merge TARGET WORK: the corpus in the repository becomes its named seeds
# plus the fewest inputs of the old corpus and of WORK/corpus that keep all
# their features; when those pass 2 MB, the fewest that keep all their
# edges (hit counts left out).
merge() {
  local target="$1" work="$2" corpus merged f counters
  corpus=$(fuzz_corpus "$root" "$target")
  merged="$work/merged"
  for counters in 1 0; do
    rm -rf "$merged"
    mkdir -p "$merged"
    # Seeds written by hand keep their names: every name but libFuzzer's 40
    # hexadecimal digits.
    for f in "$corpus"/*; do
      [[ "$(basename "$f")" =~ ^[0-9a-f]{40}$ ]] || cp "$f" "$merged/"
    done
    "$build/bin/$target" -merge=1 -use_counters=$counters "${fuzz_options[@]}" "$merged" "$corpus" "$work/corpus" \
      >"$work/merge.log" 2>&1 || {
      echo "fuzz.sh: merging $target failed; see $work/merge.log" >&2
      return 1
    }
    [ "$(du -sk --apparent-size "$merged" | cut -f1)" -gt 2048 ] || break
  done
  find "$corpus" -maxdepth 1 -type f ! -name '.*' -delete
  cp "$merged"/* "$corpus/"
}

if [ "${1:-}" != all ]; then
  build="${1:?$usage}"
  seconds="${2:?$usage}"
  case "$build" in /*) ;; *) build="$root/$build" ;; esac
  target="${3:-fuzz_crosscheck}"
  work="$build/fuzz-work/$target"
  prepare "$target" "$work"
  run_target "$target" "$seconds" "$work"
  tail -n 25 "$work/fuzz.log"
  read -r inputs took first last findings status <"$work/result"
  if [ "$findings" -gt 0 ] || [ "$status" -ne 0 ]; then
    report_findings "$target" "$work"
    echo "fuzz.sh: $target stopped with a failure; see $work" >&2
    exit 1
  fi
  echo "fuzz.sh: $target: $inputs inputs in $took s, no failure"
  exit 0
fi

minutes="${2:?$usage}"
shift 2
build="${FUZZ_BUILD:-build/fuzz}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
if [ $# -gt 0 ]; then targets=("$@"); else mapfile -t targets < <(fuzz_targets "$root"); fi
[ ${#targets[@]} -gt 0 ] || { echo "fuzz.sh: no fuzz target in $build/bin" >&2; exit 2; }
jobs="${FUZZ_JOBS:-$(nproc)}"
share=$((minutes * 60 / ${#targets[@]}))
echo "fuzz.sh: ${#targets[@]} targets, $share s each, $jobs at once"

for target in "${targets[@]}"; do prepare "$target" "$build/fuzz-work/$target"; done
export FUZZ_KEEP_GOING=1
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  work="$build/fuzz-work/$target"
  ( run_target "$target" "$share" "$work" && merge "$target" "$work" ) &
done
wait

failed=0
printf '\n%-18s %12s %10s %10s %8s %9s %10s\n' target inputs "inputs/s" "cov start" "cov end" findings "corpus KB"
for target in "${targets[@]}"; do
  work="$build/fuzz-work/$target"
  read -r inputs took first last findings status <"$work/result" || { echo "$target: no result" >&2; failed=1; continue; }
  size=$(du -sk --apparent-size "$(fuzz_corpus "$root" "$target")" | cut -f1)
  printf '%-18s %12d %10d %10d %8d %9d %10d\n' "$target" "$inputs" $((inputs / (took > 0 ? took : 1))) \
    "$first" "$last" "$findings" "$size"
  [ "$findings" -eq 0 ] && [ "$status" -eq 0 ] || failed=1
  [ "$size" -le 2048 ] || echo "fuzz.sh: the corpus of $target is above 2 MB" >&2
done
for target in "${targets[@]}"; do report_findings "$target" "$build/fuzz-work/$target"; done
exit "$failed"
