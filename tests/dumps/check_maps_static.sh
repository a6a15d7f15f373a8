#!/usr/bin/env bash
# check_maps_static.sh QUILLFEN-CLI TOOLPREFIX DIR
# Without running anything built for Windows: at every row of the line tables
# of CrashApp.c and CrashLib.c (and one byte past it), `quillfen-cli
# symbolize` on the module's MAP file names the function, file and line that
# addr2line gives for DIR/CrashApp.exe and DIR/CrashLib.dll at their
# preferred addresses.
set -euo pipefail
cli=$1 tools=$2 dir=$3
failed=0 checked=0
for module in CrashApp.exe CrashLib.dll; do
  source_file="${module%.*}.c"
  # The starting addresses of the source file's rows, and one byte past each.
  mapfile -t addresses < <("${tools}objdump" --dwarf=decodedline "$dir/$module" |
    awk -v f="$source_file" '$1 == f && $2 != "-" && $3 ~ /^0x/ { print $3 }' |
    while read -r a; do printf '0x%x\n0x%x\n' "$a" $((a + 1)); done | sort -u)
  [ "${#addresses[@]}" -ge 20 ] || { echo "check_maps_static: only ${#addresses[@]} rows of $source_file in $module" >&2; exit 1; }
  mapfile -t want < <("${tools}addr2line" -f -e "$dir/$module" "${addresses[@]}" |
    paste - - | sed -E 's/ \(discriminator [0-9]+\)//; s#\t.*/#\t#')
  mapfile -t got < <(printf '%s\n' "${addresses[@]}" | "$cli" symbolize "$dir/${module%.*}.map" -)
  for i in "${!addresses[@]}"; do
    # "0x10001234 FUNCTION+0x1C (UNIT) FILE:LINE" against "FUNCTION<TAB>FILE:LINE"
    if [[ ! ${got[$i]:-} =~ ^0x[0-9A-F]+\ ([^ ]+)\+0x[0-9A-F]+\ \([^\)]*\)\ (.*)$ ]] ||
       [ "${BASH_REMATCH[1]}"$'\t'"${BASH_REMATCH[2]}" != "${want[$i]}" ]; then
      echo "$module ${addresses[$i]}: addr2line ${want[$i]}, symbolize: ${got[$i]:-nothing}" >&2
      failed=1
    fi
    checked=$((checked + 1))
  done
done
echo "check_maps_static: $checked addresses of $dir answered as addr2line does"
exit $failed
