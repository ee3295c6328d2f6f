#!/usr/bin/env bash
# The relay benchmark: the hub against a reference relay, side by side on this
# machine. `make bench` (or `make bench QUICK=1`) runs it after `make build`;
# any arguments go on to korvel_bench (see `korvel_bench --help`).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"

# A build folder configured without the benchmark tools gets them switched on.
if [ ! -f "$build/build.ninja" ] || ! grep -q '^KORVEL_BUILD_BENCH:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  cmake -S . -B "$build" -G Ninja -DKORVEL_BUILD_BENCH=ON
fi
cmake --build "$build" --target korvel korvel_bench korvel_reference

exec "$build/bench/korvel_bench" \
  --hub "$build/src/app/korvel" \
  --reference "$build/bench/korvel_reference" \
  "$@"
