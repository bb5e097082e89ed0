# Sourced by the entry scripts: the project's Wine prefix and the helpers that start the
# persistent wineserver and a virtual display before any test runs.
export WINEPREFIX="${WINEPREFIX:-/root/.wine-crashreporter}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"

# Wine's service processes inherit the output pipe of the first Wine program they serve and
# never exit: start the server and its services here, not inside ctest.
start_wine_and_display() {
  wineserver -p 2>/dev/null || true  # already running is fine
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  if [ -z "${DISPLAY:-}" ]; then
    local n=97
    if ! [ -e "/tmp/.X11-unix/X$n" ]; then
      (Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &)
      for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    fi
    export DISPLAY=":$n"
  fi
}
