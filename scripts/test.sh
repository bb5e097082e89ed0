#!/usr/bin/env bash
# Builds everything and runs every test under Wine. Installs what is missing first.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build}"
bash "$here/scripts/setup.sh"
source "$here/scripts/env.sh"

cmake -S "$here" -B "$BUILD_DIR" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$BUILD_DIR"

start_wine_and_display
cd "$BUILD_DIR"
ctest --output-on-failure --timeout 600 "$@"
