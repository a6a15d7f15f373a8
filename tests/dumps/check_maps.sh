#!/usr/bin/env bash
# check_maps.sh QUILLFEN-CLI ANSWERS
# Every frame of ANSWERS (see write_dump.sh), looked up by `quillfen-cli
# symbolize` in its module's MAP file at the module's load base (a caller
# frame, N > 0, at its address - 1, as addr2line was asked), names the
# function, file and line that addr2line gave.
set -euo pipefail
cli=$1 answers=$2
dir=$(dirname "$answers")
declare -A base map
while read -r kind name loadbase _ _ _ mapfile; do
  [ "$kind" = module ] || continue
  base[$name]=$loadbase map[$name]=$mapfile
done <"$answers"

failed=0 checked=0
while read -r kind n address module _ function file line; do
  [ "$kind" = frame ] || [ "$kind" = caller ] || continue
  lookup=$address
  [ "$n" -gt 0 ] && lookup=$(printf '0x%X' $(( address - 1 )))
  got=$("$cli" symbolize "$dir/${map[$module]}" --base "${base[$module]}" "$lookup")
  # "0x10001234 FUNCTION+0x1C (UNIT) FILE:LINE"
  if [[ ! $got =~ ^0x[0-9A-F]+\ ([^ ]+)\+0x[0-9A-F]+\ \([^\)]*\)\ (.*):([0-9]+)$ ]] ||
     [ "${BASH_REMATCH[1]}" != "$function" ] || [ "${BASH_REMATCH[2]}" != "$file" ] ||
     [ "${BASH_REMATCH[3]}" != "$line" ]; then
    echo "$kind $n $address ($module): expected $function $file:$line, got: $got" >&2
    failed=1
  fi
  checked=$((checked + 1))
done <"$answers"
[ "$checked" -ge 7 ] || { echo "check_maps: only $checked frames in $answers" >&2; exit 1; }
echo "check_maps: $checked frames of $answers answered as addr2line does"
exit $failed
