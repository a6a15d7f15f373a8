#!/usr/bin/env bash
# Benchmark of large MAP files: builds natively (Release), writes two generated
# MAP files (200 MB and 800 MB, tests/bench/genmap.cpp, kept in /tmp and reused)
# and measures on each, in the same run and with a warm page cache:
#   - wc -l on the file (the floor every figure is set against),
#   - quillfen-cli lookup FILE 0x7FFFFFF0 (the load plus a miss that scans the table),
#   - the full-scan miss alone over the loaded table (bench_load),
#   - the peak resident memory of the lookup,
#   - on the 200 MB file: quillfen-cli symbolize FILE - with 100,000 addresses
#     of the file's code on standard input, and with one address (the cost of
#     each further address is the difference over 100,000),
#   - on the 200 MB file: quillfen-cli pdb FILE, its time and peak memory beside
#     those of loading the file for symbolize (one address),
#   - on the 200 MB file and on its twin with C++Builder's mangled names
#     (genmap --cbuilder): breakpad and pdb with readable names (the default)
#     beside --no-demangle, the runs of the two taken in turn,
# then says for each target whether it holds, and ends with the targets side
# by side: symbolize of 100,000 addresses within 2x one lookup (200 MB),
# lookup within 5x wc -l (800 MB), peak memory of symbolize at most 0.75x the
# file (200 MB), pdb within 2x the time and at most the memory of loading the
# file for symbolize (200 MB), breakpad and pdb with readable names within
# 1.1x their processor time with --no-demangle (200 MB, both files; the wall
# times beside).
#   scripts/bench.sh [--wine] [BUILD_DIR]       (default build/bench)
# --wine also builds the 32-bit quillfen-cli.exe (build/bench-mingw) and checks
# that it loads the 800 MB file under Wine and answers (slow); where the
# machine runs no 32-bit program, the 64-bit one (build/bench-mingw64) under
# 64-bit Wine, and says so.
# QF_BENCH_SIZES overrides the sizes (e.g. "200"); QF_BENCH_RUNS the number of
# timed runs whose best counts (default 5).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
wine=0
if [ "${1:-}" = "--wine" ]; then wine=1; shift; fi
build="${1:-build/bench}"
sizes="${QF_BENCH_SIZES:-200 800}"
runs="${QF_BENCH_RUNS:-5}"
cd "$root"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target genmap bench_load quillfen-cli >/dev/null
cli="$build/bin/quillfen-cli"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
# best_of COMMAND...: the shortest wall time of $runs runs, in seconds.
best_of() {
  local best=999999 start t
  for _ in $(seq "$runs"); do
    start=$(now)
    "$@" >/dev/null 2>&1 || true
    t=$(echo "$(now) - $start" | bc -l)
    best=$(echo "if ($t < $best) $t else $best" | bc -l)
  done
  printf '%.3f' "$best"
}
# best_of_two A B: the shortest wall times of $runs runs of "A" and of "B"
# (each a command line), run in turn (A B, then B A) so that both meet the same load, and
# the shortest processor times (user and system) of each: "WALL_A WALL_B CPU_A CPU_B".
best_of_two() {
  local commands=("$1" "$2") wall=(999999 999999) cpu=(999999 999999) k w u s
  local TIMEFORMAT='%R %U %S'
  local run order
  for run in $(seq "$runs"); do
    order="0 1"
    [ $((run % 2)) = 0 ] && order="1 0"
    for k in $order; do
      read -r w u s < <({ time eval "${commands[$k]}" >/dev/null 2>&1; } 2>&1 | tail -n 1)
      wall[$k]=$(echo "if ($w < ${wall[$k]}) $w else ${wall[$k]}" | bc -l)
      cpu[$k]=$(echo "c = $u + $s; if (c < ${cpu[$k]}) c else ${cpu[$k]}" | bc -l)
    done
  done
  printf '%.3f %.3f %.3f %.3f\n' "${wall[0]}" "${wall[1]}" "${cpu[0]}" "${cpu[1]}"
}
# verdict FIGURE LIMIT: "holds" or "MISSED (FIGURE/LIMIT = ratio)"
verdict() {
  awk -v f="$1" -v l="$2" 'BEGIN { if (f <= l) print "holds"; else printf "MISSED (%.2fx the limit)\n", f / l }'
}
peak_kb() {
  "$build/bin/bench_load" --peak-rss "$@" 2>/dev/null |
    awk '/peak RSS/ { for (i = 1; i <= NF; i++) if ($i == "MB") print int($(i - 1) * 1024) }' || true
}

symbolize_available=0
if "$cli" --help 2>&1 | grep -q 'symbolize'; then symbolize_available=1; fi

summary=()
declare -A lookup_s wc_of
sym_s="" sym1_s="" sym_rss="" sym_bytes="" pdb_s="" pdb_rss="" load_rss=""
names_rows=()
for size in $sizes; do
  map="/tmp/quillfen-bench-${size}mb.map"
  if [ ! -f "$map" ]; then
    echo "writing $map"
    "$build/bin/genmap" "$map" "$size"
  fi
  bytes=$(stat -c %s "$map")
  mb=$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1048576 }')
  cat "$map" >/dev/null  # warm the page cache

  echo "=== $map ($mb MB)"
  status_line=$("$cli" lookup "$map" 0x7FFFFFF0 | head -n 1 || true)
  echo "quillfen-cli lookup: $status_line"
  wc_s=$(best_of wc -l "$map")
  lk_s=$(best_of "$cli" lookup "$map" 0x7FFFFFF0)
  lookup_s[$size]=$lk_s
  wc_of[$size]=$wc_s
  rss_kb=$(peak_kb "$cli" lookup "$map" 0x7FFFFFF0)
  ratio=$(awk -v a="$lk_s" -v b="$wc_s" 'BEGIN { printf "%.1f", a / b }')
  rss_ratio=$(awk -v kb="$rss_kb" -v b="$bytes" 'BEGIN { printf "%.2f", kb * 1024 / b }')
  scan=$("$build/bin/bench_load" "$map" 1 | sed -n 's/^(c) FindOffset miss (full scan of \([0-9]*\) entries): \([0-9.]*\) ms.*/\1 \2/p' || true)
  entries=${scan% *}
  scan_ms=${scan#* }
  printf '%-34s %9s s\n' "wc -l" "$wc_s"
  printf '%-34s %9s s   %sx wc -l   (target <= 5x: %s)\n' "lookup 0x7FFFFFF0" "$lk_s" "$ratio" \
         "$(verdict "$ratio" 5)"
  printf '%-34s %9s MB  %sx the file (target <= 0.75x: %s)\n' "peak RSS of the lookup" \
         "$(awk -v kb="$rss_kb" 'BEGIN { printf "%.1f", kb / 1024 }')" "$rss_ratio" "$(verdict "$rss_ratio" 0.75)"
  printf '%-34s %9s ms  over %s entries' "full-scan miss" "$scan_ms" "$entries"
  if [ "$entries" -ge 30000000 ]; then
    printf '   (target < 40 ms: %s)\n' "$(verdict "$scan_ms" 40)"
  else
    printf '\n'
  fi
  summary+=("$(printf '| %s MB | %s | %s s | %s s | %sx | %s MB (%sx) | %s ms |' "$mb" "$entries" "$wc_s" "$lk_s" \
               "$ratio" "$(awk -v kb="$rss_kb" 'BEGIN { printf "%.0f", kb / 1024 }')" "$rss_ratio" "$scan_ms")")

  if [ "$size" = 200 ]; then
    if [ "$symbolize_available" = 1 ]; then
      # 100,000 addresses spread over the code that has line numbers: from
      # the start of the code segment (0x401000 in the old layout) to the
      # last line-number pair (the generator stops writing sections once the
      # file has its size, so the code segment reaches further).
      code_end=$(tail -c 65536 "$map" | tr -d '\r' |
                 awk '/^Bound resource files/ { exit } { for (i = 1; i <= NF; i++) if ($i ~ /^0001:/) last = substr($i, 6) }
                      END { print last }')
      awk -v len=$((16#$code_end)) 'BEGIN { srand(7); for (i = 0; i < 100000; i++) printf "0x%08X\n", 4198400 + int(rand() * len) }' \
        >"$work/addresses.txt"
      sym_best=999999
      for _ in $(seq "$runs"); do
        start=$(now)
        "$cli" symbolize "$map" - <"$work/addresses.txt" >"$work/symbolized.txt" 2>&1 || true
        t=$(echo "$(now) - $start" | bc -l)
        sym_best=$(echo "if ($t < $sym_best) $t else $sym_best" | bc -l)
      done
      sym_s=$(printf '%.3f' "$sym_best")
      sym1_s=$(best_of "$cli" symbolize "$map" 0x00401000)
      sym_bytes=$bytes
      sym_lines=$(wc -l <"$work/symbolized.txt")
      sym_with_line=$(grep -c '\.pas:[0-9]*$' "$work/symbolized.txt" || true)
      sym_rss=$("$build/bin/bench_load" --peak-rss "$cli" symbolize "$map" - <"$work/addresses.txt" 2>/dev/null |
                awk '/peak RSS/ { for (i = 1; i <= NF; i++) if ($i == "MB") print $(i - 1) }' || true)
      sym_ratio=$(awk -v a="$sym_s" -v b="$lk_s" 'BEGIN { printf "%.2f", a / b }')
      printf '%-34s %9s s   %sx wc -l, %sx lookup (target <= 2x lookup: %s); %s lines out (%s with a source line), peak %s MB\n' \
             "symbolize, 100,000 addresses" "$sym_s" "$(awk -v a="$sym_s" -v b="$wc_s" 'BEGIN { printf "%.1f", a / b }')" \
             "$sym_ratio" "$(verdict "$sym_ratio" 2)" "$sym_lines" "$sym_with_line" "$sym_rss"
      per_us=$(awk -v a="$sym_s" -v b="$sym1_s" 'BEGIN { printf "%.2f", (a - b) / 100000 * 1e6 }')
      printf '%-34s %9s s   %s us for each further address (target <= 1 us: %s)\n' \
             "symbolize, one address" "$sym1_s" "$per_us" "$(verdict "$per_us" 1)"
      summary+=("| symbolize, 100,000 addresses, $mb MB | | $wc_s s | $sym_s s | $(awk -v a="$sym_s" -v b="$wc_s" 'BEGIN { printf "%.1f", a / b }')x (${sym_ratio}x lookup) | $sym_rss MB | |")
    else
      echo "symbolize, 100,000 addresses:      not available (this quillfen-cli has no symbolize command)"
    fi
    if "$cli" --help 2>&1 | grep -q 'quillfen-cli pdb'; then
      # The program database of the file beside loading it for symbolize.
      pdb_s=$(best_of "$cli" pdb "$map" -o "$work/bench.pdb")
      pdb_rss=$(peak_kb "$cli" pdb "$map" -o "$work/bench.pdb")
      load_rss=$(peak_kb "$cli" symbolize "$map" 0x00401000)
      [ -n "$sym1_s" ] || sym1_s=$(best_of "$cli" symbolize "$map" 0x00401000)
      pdb_mb=$(awk -v b="$(stat -c %s "$work/bench.pdb")" 'BEGIN { printf "%.1f", b / 1048576 }')
      pdb_ratio=$(awk -v a="$pdb_s" -v b="$sym1_s" 'BEGIN { printf "%.2f", a / b }')
      pdb_mem=$(awk -v a="$pdb_rss" -v b="$load_rss" 'BEGIN { printf "%.2f", a / b }')
      printf '%-34s %9s s   %sx loading it for symbolize (%s s; target <= 2x: %s); a %s MB PDB\n' \
             "pdb" "$pdb_s" "$pdb_ratio" "$sym1_s" "$(verdict "$pdb_ratio" 2)" "$pdb_mb"
      printf '%-34s %9s MB  %sx loading it for symbolize (%s MB; target <= 1x: %s)\n' "peak RSS of pdb" \
             "$(awk -v kb="$pdb_rss" 'BEGIN { printf "%.1f", kb / 1024 }')" "$pdb_mem" \
             "$(awk -v kb="$load_rss" 'BEGIN { printf "%.1f", kb / 1024 }')" "$(verdict "$pdb_mem" 1)"
    fi
    # Readable names (the default) beside the linker's (--no-demangle): on
    # this file (Delphi's names, which pass through) and on its twin whose
    # publics are C++Builder's mangled names.
    cbmap="/tmp/quillfen-bench-${size}mb-cbuilder.map"
    if [ ! -f "$cbmap" ]; then
      echo "writing $cbmap"
      "$build/bin/genmap" --cbuilder "$cbmap" "$size"
    fi
    cat "$cbmap" >/dev/null
    for names in "Delphi names:$map" "C++Builder names:$cbmap"; do
      file=${names#*:}
      for command in breakpad pdb; do
        out="$work/names.$command"
        read -r readable_s linker_s readable_cpu linker_cpu < <(
          best_of_two "\"$cli\" $command \"$file\" -o \"$out\"" "\"$cli\" $command \"$file\" -o \"$out\" --no-demangle")
        r=$(awk -v a="$readable_s" -v b="$linker_s" 'BEGIN { printf "%.2f", a / b }')
        rc=$(awk -v a="$readable_cpu" -v b="$linker_cpu" 'BEGIN { printf "%.2f", a / b }')
        # The verdict by processor time: on a machine shared with other work
        # the wall time of the same run swings by far more than 10%.
        printf '%-34s %9s s   processor time with readable names; %s s with --no-demangle: %sx (target <= 1.1x: %s); wall %s s / %s s: %sx\n' \
               "$command, ${names%%:*}" "$readable_cpu" "$linker_cpu" "$rc" "$(verdict "$rc" 1.1)" \
               "$readable_s" "$linker_s" "$r"
        names_rows+=("| $command readable / --no-demangle, ${names%%:*}, $mb MB | processor $readable_cpu s / $linker_cpu s (wall $readable_s s / $linker_s s, ${r}x) | ${rc}x | 1.1x | $(verdict "$rc" 1.1) |")
      done
    done
  fi
done

echo
echo "| file | entries | wc -l | lookup | ratio | peak RSS | full-scan miss |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${summary[@]}"

# The targets, each a ratio of two figures of this run.
echo
echo "| target | figures of this run | ratio | limit | verdict |"
echo "|---|---|---|---|---|"
if [ -n "$sym_s" ] && [ -n "${lookup_s[200]:-}" ]; then
  r=$(awk -v a="$sym_s" -v b="${lookup_s[200]}" 'BEGIN { printf "%.2f", a / b }')
  echo "| symbolize 100,000 addresses / lookup, 200 MB | $sym_s s / ${lookup_s[200]} s | ${r}x | 2x | $(verdict "$r" 2) |"
fi
if [ -n "${lookup_s[800]:-}" ]; then
  r=$(awk -v a="${lookup_s[800]}" -v b="${wc_of[800]}" 'BEGIN { printf "%.2f", a / b }')
  echo "| lookup / wc -l, 800 MB | ${lookup_s[800]} s / ${wc_of[800]} s | ${r}x | 5x | $(verdict "$r" 5) |"
fi
if [ -n "$sym_rss" ] && [ -n "$sym_bytes" ]; then
  r=$(awk -v m="$sym_rss" -v b="$sym_bytes" 'BEGIN { printf "%.2f", m * 1048576 / b }')
  echo "| peak memory of symbolize / file, 200 MB | $sym_rss MB / $(awk -v b="$sym_bytes" 'BEGIN { printf "%.1f", b / 1048576 }') MB | ${r}x | 0.75x | $(verdict "$r" 0.75) |"
fi

if [ -n "$pdb_s" ]; then
  r=$(awk -v a="$pdb_s" -v b="$sym1_s" 'BEGIN { printf "%.2f", a / b }')
  echo "| pdb / loading for symbolize, 200 MB | $pdb_s s / $sym1_s s | ${r}x | 2x | $(verdict "$r" 2) |"
  r=$(awk -v a="$pdb_rss" -v b="$load_rss" 'BEGIN { printf "%.2f", a / b }')
  echo "| peak memory of pdb / of loading, 200 MB | $((pdb_rss / 1024)) MB / $((load_rss / 1024)) MB | ${r}x | 1x | $(verdict "$r" 1) |"
fi
[ ${#names_rows[@]} -eq 0 ] || printf '%s\n' "${names_rows[@]}"

if [ "$wine" = 1 ]; then
  map="/tmp/quillfen-bench-800mb.map"
  [ -f "$map" ] || "$build/bin/genmap" "$map" 800
  # The 32-bit program where the machine runs it, else the 64-bit build of
  # the same sources under 64-bit Wine.
  if scripts/wine32-works; then
    mingw="build/bench-mingw" toolchain=cmake/mingw-i686.cmake envfile=scripts/wine-env.sh loader=wine bits=32
  else
    mingw="build/bench-mingw64" toolchain=cmake/mingw-x86_64.cmake envfile=scripts/wine64-env.sh
    loader=/usr/lib/wine/wine64 bits=64
    echo "Wine: the 64-bit quillfen-cli.exe, since $(scripts/wine32-works -v)"
  fi
  if [ ! -f "$mingw/CMakeCache.txt" ]; then
    cmake -S . -B "$mingw" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQF_BUILD_TESTS=OFF \
          -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
  fi
  cmake --build "$mingw" -j "$(nproc)" --target quillfen-cli >/dev/null
  # shellcheck source=/dev/null
  source "$envfile"
  echo
  echo "=== quillfen-cli.exe ($bits-bit) under Wine: lookup $map 0x7FFFFFF0"
  expected=$("$cli" lookup "$map" 0x7FFFFFF0 | head -n 1 || true)
  start=$(now)
  got=$("$loader" "$mingw/bin/quillfen-cli.exe" lookup "Z:$map" 0x7FFFFFF0 2>"$work/wine-err.txt" | tr -d '\r' || true)
  t=$(echo "$(now) - $start" | bc -l)
  printf '%s\n' "$got" | sed 's/^/  /'
  sed 's/^/  stderr: /' "$work/wine-err.txt" | grep -v 'fixme:' | head -n 5 || true
  if [ "$(printf '%s\n' "$got" | head -n 1)" = "$expected" ]; then
    printf 'Wine: loads the 800 MB file and answers in %.1f s: holds\n' "$t"
  else
    printf 'Wine: MISSED (expected "%s")\n' "$expected"
  fi
fi
