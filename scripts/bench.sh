#!/usr/bin/env bash
# The performance suite: set up if needed, build the benchmark programs of each width this
# machine runs (CR_ARCH=x86, x64 or both narrows the choice), run them under Wine and print
# one table of ratios per width. Extra arguments go to bench/run_bench.py (for example
# --sizes 16,256 or --quick).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build-bench}"
# minizip's sources are fetched once, into the main build folder's deps.
BUILD_DIR="$here/build" bash "$here/scripts/setup.sh" >/dev/null
minizip="$here/build/deps/minizip"
source "$here/scripts/env.sh"
choose_widths
say_skipped_widths bench measuring
for width in "${CR_RUN_WIDTHS[@]}"; do
  cmake -S "$here" -B "$BUILD_DIR/$width" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-$width.cmake" \
    -DMINIZIP_DIR="$minizip" -DCR_BUILD_BENCH=ON -DCR_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD_DIR/$width" >/dev/null
done
start_wine_and_display "${CR_RUN_WIDTHS[@]}"
for width in "${CR_RUN_WIDTHS[@]}"; do
  echo "bench: the $width programs"
  /usr/bin/python3 "$here/bench/run_bench.py" "$BUILD_DIR/$width/bin" "$@"
done
