# Sourced by the command-line tests that run quillfen-cli natively or, with
# $wrapper set, the .exe one under Wine; needs $cli and counts mismatches in
# $failures.
#   run CMD...              runs CMD (through $wrapper), CR line ends dropped
#   q ARGS...               runs quillfen-cli
#   expect NAME STATUS CMD...  runs CMD, keeps out and err (without CRs), checks the status
run() {
  if [ -z "$wrapper" ]; then "$@"; return; fi
  "$wrapper" "$@" | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
q() { run "$cli" "$@"; }
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
pass() { echo "ok   $1"; }
expect() {
  local name="$1" want="$2"
  shift 2
  "$@" >out 2>err
  local status=$?
  tr -d '\r' <err >err.txt && mv err.txt err
  if [ "$status" -ne "$want" ]; then
    fail "$name: exit status $status, expected $want"; cat err; return 1
  fi
  return 0
}
