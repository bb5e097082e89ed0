#!/usr/bin/env bash
# Runs a Windows program under the project's Wine prefix.
export WINEPREFIX="${WINEPREFIX:-/root/.wine-crashreporter}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
