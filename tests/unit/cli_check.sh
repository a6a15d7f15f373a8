# Sourced by the command-line tests: runs one command and compares its exit
# status, standard output and standard error with what is expected. Needs
# $work (a scratch folder) and counts mismatches in $failures.
# check NAME EXPECTED-STATUS EXPECTED-STDOUT EXPECTED-STDERR -- COMMAND...
# (standard input is taken from $stdin_text when set)
check() {
  local name="$1" want_status="$2" want_out="$3" want_err="$4"
  shift 5
  local status
  printf '%s' "${stdin_text-}" | "$@" >"$work/out" 2>"$work/err"
  status=$?
  local ok=1
  [ "$status" -eq "$want_status" ] || { echo "FAIL $name: exit status $status, expected $want_status"; ok=0; }
  if [ "$(cat "$work/out")" != "$want_out" ]; then
    echo "FAIL $name: standard output differs"; diff <(printf '%s\n' "$want_out") "$work/out"; ok=0
  fi
  if [ "$want_err" != "*" ] && [ "$(cat "$work/err")" != "$want_err" ]; then
    echo "FAIL $name: standard error differs"; diff <(printf '%s\n' "$want_err") "$work/err"; ok=0
  fi
  if [ $ok -eq 1 ]; then echo "ok   $name"; return 0; fi
  failures=$((failures + 1))
  return 1
}
