#!/usr/bin/env bash
# Runs a Windows program under Wine with the loader and the project's prefix of its width: the
# PE header's machine field says whether it is an x64 or an x86 program.
export WINEDEBUG="${WINEDEBUG:--all}"
base="${CR_WINE_BASE:-${WINEPREFIX:-/root/.wine-crashreporter}}"
width=x86
if [ -f "$1" ]; then
  pe_offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  machine=$(od -An -tx2 -j$((${pe_offset:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
  [ "$machine" = 8664 ] && width=x64
fi
if [ "$width" = x64 ]; then
  export WINEPREFIX="$base-x64" WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
else
  export WINEPREFIX="$base" WINEARCH=win32 WINELOADER=/usr/lib/wine/wine
fi
exec "$WINELOADER" "$@"
