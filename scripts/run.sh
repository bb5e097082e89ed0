#!/usr/bin/env bash
# The main job: set up if needed, build, and run the reporter the way a user would see it.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build}"
bash "$here/scripts/setup.sh" >/dev/null
source "$here/scripts/env.sh"
cmake -S "$here" -B "$BUILD_DIR" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$BUILD_DIR" >/dev/null
start_wine_and_display

if [ -x "$BUILD_DIR/bin/CrashDemo.exe" ] && [ -f "$here/scripts/demo.py" ]; then
  exec /usr/bin/python3 "$here/scripts/demo.py" "$BUILD_DIR"
fi
# Without the demo: the reporter started without arguments answers with its usage text on the
# debugger output channel and exit code -1.
set +e
WINEDEBUG=warn+seh "$here/scripts/wine-run.sh" "$BUILD_DIR/bin/RIZurarUzedudor.exe" 2>/tmp/reporter-debug.$$
code=$?
sed -n 's/.*OutputDebugStringA //p' /tmp/reporter-debug.$$
rm -f /tmp/reporter-debug.$$
echo "exit code: $code"
