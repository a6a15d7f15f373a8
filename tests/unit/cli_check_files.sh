# Sourced by the database command tests: runs one command in the current
# folder (out.txt, err.txt) and compares its exit status, standard output and
# standard error with what is expected; counts mismatches in $failures. With
# normalise_paths=1 the texts are compared without CR and with "/" for "\"
# (the .exe under Wine).
normalise() {
  if [ "${normalise_paths:-0}" = 1 ]; then tr -d '\r' | tr '\\' '/'; else cat; fi
}

# check NAME EXPECTED-STATUS EXPECTED-STDOUT EXPECTED-STDERR COMMAND...
check() {
  local name="$1" want_status="$2" want_out="$3" want_err="$4"
  shift 4
  "$@" >out.txt 2>err.txt
  local status=$?
  local got_out got_err
  got_out="$(normalise <out.txt)"
  got_err="$(normalise <err.txt)"
  if [ "$status" != "$want_status" ] || [ "$got_out" != "$want_out" ] || [ "$got_err" != "$want_err" ]; then
    echo "FAIL: $name"
    echo "  status $status (want $want_status)"
    echo "  stdout: $(printf '%q' "$got_out") (want $(printf '%q' "$want_out"))"
    echo "  stderr: $(printf '%q' "$got_err") (want $(printf '%q' "$want_err"))"
    failures=$((failures + 1))
  fi
}
