#!/usr/bin/env bash
# The main job: set up if needed, build the demo and the reporter, and run the demo against
# the collector: CrashDemo crashes under Wine, the reporter uploads the report, and
# scripts/demo.py prints what the collector stored. --arch x64 (the default, the width most
# applications have) or --arch x86 picks the build; the other arguments go to demo.py
# (--full-memory, --work DIR, --name NAME, --crash KIND or --crash list, --serve).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build}"
width=x64
demo_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --arch)
      width="${2:-}"
      shift 2 || { echo "--arch takes x64 or x86" >&2; exit 2; }
      ;;
    --arch=*)
      width="${1#--arch=}"
      shift
      ;;
    *)
      demo_args+=("$1")
      shift
      ;;
  esac
done
case "$width" in
  x64 | x86) ;;
  *) echo "--arch takes x64 or x86, not '$width'" >&2; exit 2 ;;
esac
bash "$here/scripts/setup.sh" >/dev/null
source "$here/scripts/env.sh"
if [ "$width" = x86 ] && ! machine_runs_x86; then
  echo "demo: the x86 build cannot run here: this machine's kernel runs 64-bit programs only" >&2
  exit 2
fi
build="$BUILD_DIR/$width"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-$width.cmake" \
  -DMINIZIP_DIR="$BUILD_DIR/deps/minizip" >/dev/null
# Only what the demo runs: the tests are built by scripts/test.sh.
if ! cmake --build "$build" --target CrashDemo RIZurarUzedudor >"$build/run-build.log" 2>&1; then
  cat "$build/run-build.log" >&2
  exit 1
fi
echo "demo: the $width build ($build)"
# The screenshot needs the virtual display, and Wine's service processes must not start
# inside a program whose output is being read.
start_wine_and_display "$width"
exec /usr/bin/python3 "$here/scripts/demo.py" "$build" "${demo_args[@]}"
