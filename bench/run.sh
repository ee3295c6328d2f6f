#!/usr/bin/env bash
# The relay benchmark: the hub against a reference relay, side by side on this
# machine. `make bench` (or `make bench QUICK=1`) runs it after `make build`;
# any arguments go on to korvel_bench (see `korvel_bench --help`).
# The window row needs an X display: without one, the benchmark runs on a
# virtual display from xvfb-run when that is installed. `--window`
# (`make bench WINDOW=1`) runs only that row.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"

args=()
for arg in "$@"; do
  if [ "$arg" = "--window" ]; then args+=(--rows window); else args+=("$arg"); fi
done

# A build folder configured without the benchmark tools gets them switched on.
if [ ! -f "$build/build.ninja" ] || ! grep -q '^KORVEL_BUILD_BENCH:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  cmake -S . -B "$build" -G Ninja -DKORVEL_BUILD_BENCH=ON
fi
cmake --build "$build" --target korvel korvel-window korvel_bench korvel_reference

bench=("$build/bench/korvel_bench" --hub "$build/src/app/korvel" --reference "$build/bench/korvel_reference")
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  # No window manager: the window sits at the screen's top left, which is
  # where the benchmark clicks to select a system.
  exec xvfb-run -a -s "-screen 0 1280x800x24" "${bench[@]}" ${args[@]+"${args[@]}"}
fi
exec "${bench[@]}" ${args[@]+"${args[@]}"}
