# Sourced by the entry scripts: the widths this machine runs, the project's Wine prefix of each
# width, and the helpers that start the persistent wineservers and a virtual display before any
# test runs.
export WINEDEBUG="${WINEDEBUG:--all}"
# The x86 programs run in a 32-bit prefix, as they always have; the x64 programs in a 64-bit
# prefix beside it. scripts/wine-run.sh picks the one of a program's width.
export CR_WINE_BASE="${CR_WINE_BASE:-${WINEPREFIX:-/root/.wine-crashreporter}}"
CR_WIDTHS=(x64 x86)

wine_prefix() {  # width
  if [ "$1" = x64 ]; then echo "$CR_WINE_BASE-x64"; else echo "$CR_WINE_BASE"; fi
}

wine_loader() {  # width
  if [ "$1" = x64 ]; then echo /usr/lib/wine/wine64; else echo /usr/lib/wine/wine; fi
}

wine_arch() {  # width
  if [ "$1" = x64 ]; then echo win64; else echo win32; fi
}

# Runs a Wine command (wineboot, reg, cmd) in the prefix of a width.
wine_in() {  # width, command...
  local width="$1"
  shift
  WINEPREFIX="$(wine_prefix "$width")" WINEARCH="$(wine_arch "$width")" \
    WINELOADER="$(wine_loader "$width")" "$(wine_loader "$width")" "$@"
}

# Whether this kernel runs 32-bit programs. Some run 64-bit user programs only and refuse every
# i386 executable with ENOEXEC; no 32-bit Wine can run there. The probe is the smallest i386
# program there is: an ELF header, one program header and exit(0) through int 0x80.
machine_runs_x86() {
  if [ -z "${CR_MACHINE_RUNS_X86:-}" ]; then
    local probe
    probe="$(mktemp /tmp/cr-i386-probe.XXXXXX)"
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$probe"
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$probe"
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' >>"$probe"
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$probe"
    printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$probe"
    printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >>"$probe"
    chmod +x "$probe"
    if "$probe" 2>/dev/null; then CR_MACHINE_RUNS_X86=yes; else CR_MACHINE_RUNS_X86=no; fi
    rm -f "$probe"
    export CR_MACHINE_RUNS_X86
  fi
  [ "$CR_MACHINE_RUNS_X86" = yes ]
}

# The widths whose programs run here, honouring CR_ARCH (x86, x64 or both; the default is every
# width the machine runs). Sets CR_RUN_WIDTHS and CR_SKIPPED (width: reason, one a line).
choose_widths() {
  local wanted="${CR_ARCH:-both}"
  CR_RUN_WIDTHS=()
  CR_SKIPPED=""
  case "$wanted" in
    x86 | x64 | both) ;;
    *)
      echo "CR_ARCH must be x86, x64 or both, not '$wanted'" >&2
      return 2
      ;;
  esac
  local width
  for width in "${CR_WIDTHS[@]}"; do
    if [ "$width" = x86 ] && ! machine_runs_x86; then
      CR_SKIPPED+="x86: this machine's kernel runs 64-bit programs only (a 32-bit program gets ENOEXEC), so no 32-bit Wine can run here"$'\n'
    elif [ "$wanted" != both ] && [ "$wanted" != "$width" ]; then
      CR_SKIPPED+="$width: not chosen (CR_ARCH=$wanted)"$'\n'
    else
      CR_RUN_WIDTHS+=("$width")
    fi
  done
  if [ ${#CR_RUN_WIDTHS[@]} -eq 0 ]; then
    printf 'no width to run:\n%s' "$CR_SKIPPED" >&2
    return 2
  fi
}

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
start_wine_and_display() {  # widths...
  start_display
  local width
  for width in "$@"; do
    WINEPREFIX="$(wine_prefix "$width")" /usr/lib/wine/wineserver64 -p 2>/dev/null || true
    wine_in "$width" cmd /c exit </dev/null >/dev/null 2>&1 || true
    # A crashing test program must end, not wait in an interactive debugger.
    local aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    if wine_in "$width" reg query "$aedebug" /v Debugger </dev/null >/dev/null 2>&1; then
      wine_in "$width" reg delete "$aedebug" /v Debugger /f </dev/null >/dev/null 2>&1 || true
    fi
  done
}

say_skipped_widths() {  # prefix verb: one line per width choose_widths left out, and why
  local line
  while IFS= read -r line; do
    if [ -n "$line" ]; then echo "$1: NOT $2 $line"; fi
  done <<<"$CR_SKIPPED"
}
