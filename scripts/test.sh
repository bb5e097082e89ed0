#!/usr/bin/env bash
# Builds both widths and runs every test under Wine, for each width this machine runs (CR_ARCH=
# x86, x64 or both narrows the choice). Installs what is missing first. Extra arguments go to
# ctest, once per width.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build}"
bash "$here/scripts/setup.sh"
source "$here/scripts/env.sh"
choose_widths

say_widths() {
  echo "tests: running the tests of ${CR_RUN_WIDTHS[*]}"
  say_skipped_widths tests "running the tests of"
}
say_widths

for width in "${CR_WIDTHS[@]}"; do
  cmake -S "$here" -B "$BUILD_DIR/$width" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-$width.cmake" \
    -DMINIZIP_DIR="$BUILD_DIR/deps/minizip" >/dev/null
  cmake --build "$BUILD_DIR/$width"
done

start_wine_and_display "${CR_RUN_WIDTHS[@]}"
failed=()
for width in "${CR_RUN_WIDTHS[@]}"; do
  echo "tests: $width"
  (cd "$BUILD_DIR/$width" && ctest --output-on-failure --timeout 600 "$@") || failed+=("$width")
done

say_widths
if [ ${#failed[@]} -gt 0 ]; then
  echo "tests: FAILED for ${failed[*]}"
  exit 1
fi
echo "tests: passed for ${CR_RUN_WIDTHS[*]}"
