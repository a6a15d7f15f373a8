#!/usr/bin/env bash
# Installs what Quillfen needs to build and test on Debian 12 and prepares the
# Wine prefixes: the 64-bit one always, the 32-bit one where the machine runs
# 32-bit programs. Safe to run again: it only installs what is missing.
#
# Two package steps: the packages every machine needs, which must install (a
# failure ends the set-up with the package names and apt's reason), then the
# 32-bit Wine, only where the kernel runs 32-bit programs, which may fail (the
# 32-bit build is then built but its tests left out). A package index that
# cannot be fetched (a mirror caught mid-sync) is reported and the install
# decides; an i386 architecture this run added for nothing is removed again.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

required=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
          g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64 fonts-wine xvfb xauth imagemagick zip unzip locales llvm python3 python3-unicorn)
optional32=(wine32:i386)

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
apt_log="$(mktemp)"
trap 'rm -f "$apt_log"' EXIT

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing_of() { local p; for p in "$@"; do installed "$p" || echo "$p"; done; }

# apt_update: the package lists, fetched again up to three times per index; an
# index still failing is reported and left to the install to judge.
updated=0
apt_update() {
  $sudo_cmd apt-get -o Acquire::Retries=3 update -qq >"$apt_log" 2>&1
  local status=$?
  if [ $status -ne 0 ] || grep -q '^[EW]: Failed to fetch' "$apt_log"; then
    echo "setup: apt-get update reported failed indexes; going on to the install:" >&2
    grep -E '^(E|W):' "$apt_log" | sed 's/^/setup:   /' >&2
  fi
  updated=1
}

# apt_install PACKAGE...: 0 when all installed; else apt's error lines are left
# in $apt_log.
apt_install() {
  [ $updated -eq 1 ] || apt_update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "$@" >"$apt_log" 2>&1
}
apt_reason() { grep -E '^E:' "$apt_log" | tr '\n' ' ' | sed 's/ *$//'; }

# runs_32bit: whether the kernel runs a 32-bit program, asked of a 93-byte
# static i386 ELF program that exits with 42 (a kernel without 32-bit support
# refuses it with "Exec format error"). QF_NO_WIN32=1 answers no;
# QF_RUNS_32BIT=1 or 0 answers without asking (the set-up's own tests).
runs_32bit() {
  [ "${QF_NO_WIN32:-0}" = 1 ] && return 1
  case "${QF_RUNS_32BIT:-}" in 1) return 0 ;; 0) return 1 ;; esac
  local dir probe status
  dir="$(mktemp -d)"
  probe="$dir/probe32"
  echo 'f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhdAAAAXQAAAAUAAAAAEAAAMduzKjHAQM2A' \
    | base64 -d >"$probe" && chmod +x "$probe"
  "$probe" >/dev/null 2>&1
  status=$?
  rm -rf "$dir"
  [ $status -eq 42 ]
}

# ---- Step 1: what every machine needs ----------------------------------------
mapfile -t missing < <(missing_of "${required[@]}")
# npm fetches Breakpad's stack walker for the test against it (breakpad_peer);
# a Node.js installed otherwise (its own npm inside) is kept as it is.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! apt_install "${missing[@]}"; then
    mapfile -t still < <(missing_of "${missing[@]}")
    echo "setup: cannot install ${still[*]:-${missing[*]}}: $(apt_reason)" >&2
    exit 1
  fi
fi

# ---- Step 2: the 32-bit Wine, where 32-bit programs run ----------------------
if ! runs_32bit; then
  echo "setup: 32-bit part left out: this machine's kernel runs no 32-bit program; the 32-bit build is built, its tests left out"
elif [ -n "$(missing_of "${optional32[@]}")" ]; then
  added_i386=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386 && added_i386=1
    updated=0
  fi
  echo "setup: installing ${optional32[*]}"
  if ! apt_install "${optional32[@]}"; then
    echo "setup: 32-bit part left out: ${optional32[*]} could not be installed ($(apt_reason)); the 32-bit build is built, its tests left out"
    if [ $added_i386 -eq 1 ] && ! dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -qx i386; then
      $sudo_cmd dpkg --remove-architecture i386
    fi
  fi
fi

# Wine takes the ANSI code page from the Unix locale it starts with; the tests
# of the double-byte path rule start it with LC_ALL=ja_JP.UTF-8 (code page 932).
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  echo "setup: generating the locale ja_JP.UTF-8"
  grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'ja_JP.UTF-8 UTF-8' | $sudo_cmd tee -a /etc/locale.gen >/dev/null
  $sudo_cmd locale-gen >"$apt_log" 2>&1 || { echo "setup: cannot generate the locale ja_JP.UTF-8: $(tail -n 1 "$apt_log")" >&2; exit 1; }
fi

# Every program runs inside one Wine virtual desktop, so that windows get
# their title bars and borders in Xvfb, where no window manager runs; Debian's
# Wine does not find its own fonts (MS Sans Serif, Tahoma, Marlett for the
# caption buttons) in its data folder, but every Wine program finds them in
# the prefix's Fonts folder.
# prepare_prefix ENVFILE LOADER: the prefix of ENVFILE made with LOADER.
prepare_prefix() (
  source "$here/$1"
  local loader="$2"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "setup: creating the Wine prefix $WINEPREFIX ($WINEARCH)"
    "$loader" wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
  fi
  [ -f "$WINEPREFIX/system.reg" ] || { echo "setup: the Wine prefix $WINEPREFIX could not be created" >&2; return 1; }
  if ! grep -q '^"Default"="1024x768"' "$WINEPREFIX/user.reg" \
     || ! grep -q '^"Desktop"="Default"' "$WINEPREFIX/user.reg"; then
    "$loader" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    "$loader" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    wineserver -w || true
  fi
  local fonts="$WINEPREFIX/drive_c/windows/Fonts"
  if [ -d /usr/share/wine/fonts ] && [ ! -e "$fonts/marlett.ttf" ]; then
    mkdir -p "$fonts"
    cp -n /usr/share/wine/fonts/*.ttf /usr/share/wine/fonts/*.fon "$fonts/" 2>/dev/null || true
  fi
)

# The 64-bit prefix runs the 64-bit build of every Windows program, on any
# machine; the 32-bit one only where the machine runs 32-bit programs.
[ "${QF_SETUP_NO_PREFIX:-0}" = 1 ] && exit 0
prepare_prefix wine64-env.sh /usr/lib/wine/wine64 || exit 1
if "$here/wine32-works"; then
  prepare_prefix wine-env.sh wine || exit 1
else
  echo "setup: no 32-bit Wine prefix: $("$here/wine32-works" -v)"
fi
exit 0
