#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, as root.
# Idempotent: every step checks first and does nothing when its work is already done.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
deps="$build/deps"
mkdir -p "$deps"

packages=(
  mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  wine wine32:i386 wine64 libz-mingw-w64-dev
  googletest xvfb xauth cmake ninja-build python3 python3-pil
  unzip lldb curl imagemagick dpkg-dev clang-format
  python3-flask python3-waitress python3-jinja2 python3-werkzeug
  chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
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

# The project's own Wine prefix, outside the source tree.
export WINEPREFIX="${WINEPREFIX:-/root/.wine-crashreporter}"
export WINEARCH=win32
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
echo "setup: done"
