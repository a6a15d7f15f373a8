#!/usr/bin/env bash
# Installs what Quillfen needs to build and test on Debian 12 and prepares the
# Wine prefixes: the 64-bit one always, the 32-bit one where the machine runs
# 32-bit programs. Safe to run again: it only installs what is missing.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
          g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine32:i386 wine64 fonts-wine xvfb xauth imagemagick zip unzip locales)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine takes the ANSI code page from the Unix locale it starts with; the tests
# of the double-byte path rule start it with LC_ALL=ja_JP.UTF-8 (code page 932).
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  echo "setup: generating the locale ja_JP.UTF-8"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $sudo_cmd tee -a /etc/locale.gen >/dev/null
  $sudo_cmd locale-gen >/dev/null
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
prepare_prefix wine64-env.sh /usr/lib/wine/wine64 || exit 1
if "$here/wine32-works"; then
  prepare_prefix wine-env.sh wine || exit 1
else
  echo "setup: no 32-bit Wine prefix: $("$here/wine32-works" -v)"
fi
