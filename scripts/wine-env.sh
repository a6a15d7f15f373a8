# Sourced by the scripts that run Windows programs: one 32-bit Wine prefix for Quillfen.
export WINEPREFIX="${QF_WINEPREFIX:-$HOME/.quillfen-wine}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# Keep Wine from asking to install Mono or Gecko: the programs need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
