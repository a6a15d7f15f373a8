# The fuzz targets, their corpora and speed goals; sourced by fuzz.sh,
# fuzz-speed.sh and test.sh. Each folder tests/fuzz/corpus-NAME is the corpus
# of the target fuzz_NAME (the program bin/fuzz_NAME of a fuzz build); a
# target without its corpus folder is not run.

# fuzz_targets ROOT: every target that has a corpus, one a line, sorted.
fuzz_targets() {
  local corpus
  for corpus in "$1"/tests/fuzz/corpus-*/; do
    corpus=$(basename "$corpus")
    echo "fuzz_${corpus#corpus-}"
  done
}

# fuzz_corpus ROOT TARGET: the target's corpus folder in the repository.
fuzz_corpus() { echo "$1/tests/fuzz/corpus-${2#fuzz_}"; }

# fuzz_goal TARGET: inputs a second the target must reach at 64 KB on one
# core (the slow cross-check target has none: 0).
fuzz_goal() {
  case "$1" in
    fuzz_crosscheck) echo 0 ;;
    fuzz_demangle) echo 100000 ;;
    fuzz_peversion | fuzz_minidump | fuzz_unwind | fuzz_x86frames) echo 5000 ;;
    fuzz_langexc) echo 10000 ;;
    *) echo 1000 ;;
  esac
}

# Options of every run: inputs up to 64 KB, a stuck input fails after 10 s.
fuzz_options=(-max_len=65536 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)

# fuzz_stat LOG NAME: a number from libFuzzer's final statistics.
fuzz_stat() { sed -n "s/^stat::$2: *\([0-9]*\).*/\1/p" "$1" | tail -n 1; }

# fuzz_cov LOG first|last: the coverage (edges) libFuzzer reported once it
# had read its corpus, or last.
fuzz_cov() {
  if [ "$2" = first ]; then
    grep 'INITED' "$1" | grep -o ' cov: [0-9]*' | awk '{print $2}' | head -n 1 || true
  else
    grep -o ' cov: [0-9]*' "$1" | awk '{print $2}' | tail -n 1 || true
  fi
}
