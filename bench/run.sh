#!/usr/bin/env bash
# The relay benchmark: the hub against a reference relay, side by side on this
# machine. `make bench` (or `make bench QUICK=1`) runs it after `make build`;
# any arguments go on to korvel_bench (see `korvel_bench --help`).
# `--window` (`make bench WINDOW=1`) runs the hub with its window open on a
# virtual X display instead: fan-out to 10, then a fixed rate of reports,
# with the longest event-loop stall the window saw.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"

window=0
args=()
for arg in "$@"; do
  if [ "$arg" = "--window" ]; then window=1; else args+=("$arg"); fi
done

# A build folder configured without the benchmark tools gets them switched on.
if [ ! -f "$build/build.ninja" ] || ! grep -q '^KORVEL_BUILD_BENCH:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  cmake -S . -B "$build" -G Ninja -DKORVEL_BUILD_BENCH=ON
fi
cmake --build "$build" --target korvel korvel-window korvel_bench korvel_reference

bench=("$build/bench/korvel_bench" --hub "$build/src/app/korvel" --reference "$build/bench/korvel_reference")
if [ "$window" = 1 ]; then
  command -v xvfb-run >/dev/null || { echo "bench: xvfb-run is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
  # No window manager: the window sits at the screen's top left, which is
  # where the benchmark clicks to select a system.
  exec xvfb-run -a -s "-screen 0 1280x800x24" "${bench[@]}" --with-window ${args[@]+"${args[@]}"}
fi
exec "${bench[@]}" ${args[@]+"${args[@]}"}
