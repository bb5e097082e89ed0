#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, as root.
# Idempotent: every step checks first and does nothing when its work is already done.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
deps="$build/deps"
mkdir -p "$deps"
source "$here/scripts/env.sh"

packages=(
  mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine64 libz-mingw-w64-dev
  googletest xvfb xauth cmake ninja-build python3 python3-pil
  unzip lldb curl imagemagick dpkg-dev clang-format
  python3-flask python3-waitress python3-jinja2 python3-werkzeug
  chromium chromium-driver python3-selenium
  postgresql python3-psycopg2
)
# The 32-bit loader only where the kernel runs 32-bit programs; elsewhere it cannot start.
if machine_runs_x86; then
  packages+=(wine32:i386)
fi

# One install, ranking the security suite after main when asked: on a mirror caught mid-sync
# the amd64 candidates of multi-arch libraries can come from the security suite while their
# i386 twins exist only in main, and both architectures must have the same version.
install_packages() {  # "security-last" or "", packages...
  local order="$1"
  shift
  local options=()
  if [ "$order" = security-last ]; then
    local preferences="$deps/security-last.pref"
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$preferences"
    options=(-o "Dir::Etc::Preferences=$preferences")
  fi
  apt-get install -y -q --no-install-recommends "${options[@]}" "$@"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if machine_runs_x86 && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A failed index (a mirror in mid-sync) is reported by apt; the install may still resolve
  # from the lists that did arrive.
  if ! apt-get update -q; then
    echo "setup: apt-get update reported a failed index (above); going on with the lists it has" >&2
  fi
  if ! install_packages "" "${missing[@]}"; then
    echo "setup: the install did not resolve; trying once more with the security suite ranked after main" >&2
    install_packages security-last "${missing[@]}"
  fi
fi

# minizip's zip and ioapi modules come from Debian's zlib source package. A private
# sources list keeps the system's apt configuration untouched.
minizip="$deps/minizip"
if [ ! -f "$minizip/zip.c" ]; then
  apt_dir="$deps/apt"
  mkdir -p "$apt_dir/lists/partial" "$deps/src"
  suite="$(. /etc/os-release && echo "$VERSION_CODENAME")"
  cat > "$apt_dir/sources.list" <<SRC
deb-src http://deb.debian.org/debian $suite main
SRC
  apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o "Dir::State::Lists=$apt_dir/lists")
  apt-get "${apt_opts[@]}" update -q
  (cd "$deps/src" && apt-get "${apt_opts[@]}" source --download-only zlib)
  (cd "$deps/src" && dpkg-source -x --no-check zlib_*.dsc zlib-src >/dev/null)
  mkdir -p "$minizip"
  for f in zip.c zip.h ioapi.c ioapi.h crypt.h; do
    cp "$deps/src/zlib-src/contrib/minizip/$f" "$minizip/"
  done
fi

# The project's own Wine prefixes, outside the source tree: one per width this machine runs.
for width in "${CR_WIDTHS[@]}"; do
  if [ "$width" = x86 ] && ! machine_runs_x86; then
    continue
  fi
  if [ ! -f "$(wine_prefix "$width")/system.reg" ]; then
    wine_in "$width" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$(wine_prefix "$width")" /usr/lib/wine/wineserver64 -w || true
  fi
done
echo "setup: done"
