#!/usr/bin/env bash
# The main job: set up if needed, build the demo and the reporter, and run the demo against
# the reference collector: CrashDemo crashes under Wine, the reporter uploads the report, and
# scripts/demo.py prints what the collector stored. Extra arguments go to demo.py
# (--full-memory, --work DIR, --name NAME, --crash KIND or --crash list).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build}"
bash "$here/scripts/setup.sh" >/dev/null
source "$here/scripts/env.sh"
cmake -S "$here" -B "$BUILD_DIR" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" >/dev/null
# Only what the demo runs: the tests are built by scripts/test.sh.
if ! cmake --build "$BUILD_DIR" --target CrashDemo RIZurarUzedudor >"$BUILD_DIR/run-build.log" 2>&1; then
  cat "$BUILD_DIR/run-build.log" >&2
  exit 1
fi
# The screenshot needs the virtual display, and Wine's service processes must not start
# inside a program whose output is being read.
start_wine_and_display
exec /usr/bin/python3 "$here/scripts/demo.py" "$BUILD_DIR" "$@"
