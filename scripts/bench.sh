#!/usr/bin/env bash
# The performance suite: set up if needed, build the benchmark programs, run them under Wine
# and print one table of ratios. Extra arguments go to bench/run_bench.py (for example
# --sizes 16,256 or --quick).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build-bench}"
# minizip's sources are fetched once, into the main build folder's deps.
BUILD_DIR="$here/build" bash "$here/scripts/setup.sh" >/dev/null
minizip="$here/build/deps/minizip"
source "$here/scripts/env.sh"
cmake -S "$here" -B "$BUILD_DIR" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
  -DMINIZIP_DIR="$minizip" -DCR_BUILD_BENCH=ON -DCR_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" >/dev/null
start_wine_and_display
exec /usr/bin/python3 "$here/bench/run_bench.py" "$BUILD_DIR/bin" "$@"
