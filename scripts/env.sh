# Sourced by the entry scripts: the project's Wine prefix and the helpers that start the
# persistent wineserver and a virtual display before any test runs.
export WINEPREFIX="${WINEPREFIX:-/root/.wine-crashreporter}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"

# The project's own virtual screen; an inherited DISPLAY may point anywhere.
start_display() {
  local n=97
  local lock="/tmp/.X$n-lock"
  if ! { [ -e "/tmp/.X11-unix/X$n" ] && [ -f "$lock" ] && kill -0 "$(tr -d ' ' <"$lock")" 2>/dev/null; }; then
    rm -f "$lock" "/tmp/.X11-unix/X$n"
    (Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &)
    for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  export DISPLAY=":$n"
}

# Wine's service processes inherit the output pipe of the first Wine program they serve and
# never exit: start the server and its services here, not inside ctest. The display comes
# first, because Wine's desktop process binds to the display it finds when it starts.
start_wine_and_display() {
  start_display
  wineserver -p 2>/dev/null || true  # already running is fine
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  # A crashing test program must end, not wait in an interactive debugger.
  local aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  if wine reg query "$aedebug" /v Debugger </dev/null >/dev/null 2>&1; then
    wine reg delete "$aedebug" /v Debugger /f </dev/null >/dev/null 2>&1 || true
  fi
}
