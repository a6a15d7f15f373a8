# Sourced by the scripts that run 64-bit Windows programs: a 64-bit Wine
# prefix of its own, beside the project's 32-bit one (wine-env.sh).
export WINEPREFIX="${QF_WINE64PREFIX:-$HOME/.quillfen-wine64}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# Keep Wine from asking to install Mono or Gecko: the programs need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Debian's /usr/bin/wine starts the 32-bit loader; 64-bit programs need this one.
export QF_WINE64=/usr/lib/wine/wine64
