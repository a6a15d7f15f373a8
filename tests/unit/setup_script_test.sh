#!/usr/bin/env bash
# scripts/setup.sh's decisions, with stand-ins for apt-get, dpkg and
# dpkg-query first on PATH: nothing on the machine is installed or changed.
# Each row: whether 32-bit programs run, which indexes fail, which packages
# cannot be installed; then the exit status, the architectures left behind,
# what apt was asked to install and a line the set-up must print.
set -u
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
bin="$work/bin"
mkdir -p "$bin"

# The stand-ins keep their state in $QF_APT (arch, installed, asked) and act
# on $QF_APT/fail_update (an index that fails) and $QF_APT/broken (packages
# apt cannot install).
cat >"$bin/apt-get" <<'EOF'
#!/bin/bash
s="$QF_APT"; cmd=""; pkgs=()
for a in "$@"; do case "$a" in update|install) cmd="$a" ;; -*|Acquire*|Dpkg*) ;; *) pkgs+=("$a") ;; esac; done
if [ "$cmd" = update ]; then
  [ -s "$s/fail_update" ] || exit 0
  grep -qx i386 "$s/arch" || [ "$(cat "$s/fail_update")" != i386 ] || exit 0
  echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
  exit 100
fi
echo "${pkgs[*]}" >>"$s/asked"
for p in "${pkgs[@]}"; do
  if grep -qxF "$p" "$s/broken"; then echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100; fi
done
printf '%s\n' "${pkgs[@]}" >>"$s/installed"
EOF
cat >"$bin/dpkg" <<'EOF'
#!/bin/bash
s="$QF_APT"
case "$1" in
  --print-foreign-architectures) cat "$s/arch" ;;
  --add-architecture) echo "$2" >>"$s/arch" ;;
  --remove-architecture) grep -vx "$2" "$s/arch" >"$s/arch.new"; mv "$s/arch.new" "$s/arch" ;;
esac
EOF
cat >"$bin/dpkg-query" <<'EOF'
#!/bin/bash
s="$QF_APT"
if [ $# -eq 3 ]; then grep -qxF "$3" "$s/installed" && printf 'install ok installed'; exit 0; fi
sed 's/.*:\(i386\)$/\1/; t; s/.*/amd64/' "$s/installed"
EOF
chmod +x "$bin"/*

passed=0 failed=0
# row NAME RUNS32 FAIL_UPDATE BROKEN EXPECTED_STATUS EXPECTED_ARCH ASKED_PATTERN PRINTED_PATTERN
row() {
  local name="$1" s="$work/$1" out status
  mkdir -p "$s"; : >"$s/arch"; : >"$s/installed"; : >"$s/asked"
  printf "%s" "$3" >"$s/fail_update"; tr ' ' '\n' <<<"$4" >"$s/broken"
  out=$(PATH="$bin:$PATH" QF_APT="$s" QF_RUNS_32BIT="$2" QF_SETUP_NO_PREFIX=1 bash "$root/scripts/setup.sh" 2>&1)
  status=$?
  local arch asked; arch=$(tr '\n' ' ' <"$s/arch" | sed 's/ $//'); asked=$(tr '\n' '|' <"$s/asked")
  if [ "$status" = "$5" ] && [ "$arch" = "$6" ] && grep -qE -- "$7" <<<"$asked" && grep -qE -- "$8" <<<"$out"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s: status %s, arch "%s", asked "%s"\n%s\n' "$name" "$status" "$arch" "$asked" "$out"
  fi
}

row no-32bit-programs    0 i386 ""          0 ""     '^[^|]*cmake[^|]*llvm[^|]*\|$'  '32-bit part left out: .*kernel runs no 32-bit'
row i386-index-fails     1 i386 wine32:i386 0 ""     'cmake.*\|wine32:i386\|$'       'could not be installed .*held broken.*tests left out'
row 32bit-all-installed  1 ""   ""          0 "i386" 'cmake.*\|wine32:i386\|$'       'installing wine32:i386'
row index-fails-anyway   0 all  ""          0 ""     'cmake'                         'Failed to fetch .*Mirror sync'
row required-missing     0 ""   "llvm"      1 ""     'cmake'                         '^setup: cannot install .*llvm.*: E: Unable to correct problems'
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
