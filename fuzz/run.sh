#!/usr/bin/env bash
# Builds the harnesses with Clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for the given number of seconds:
#   bash fuzz/run.sh [SECONDS]          (make fuzz FUZZ_SECONDS=...)
# The corpus grows in build-fuzz/corpus/<harness> from one run to the next.
# A crash stops that harness, is saved in build-fuzz/crashes/ and fails the
# run; replay it with build-fuzz/fuzz/<harness>_replay FILE.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
JOBS=${JOBS:-$(nproc)}
HARNESSES=(decode_packet station_list system_files)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEL_BUILD_FUZZ=ON -DKORVEL_BUILD_BENCH=OFF \
  -DKORVEL_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
targets=(make_seeds)
for h in "${HARNESSES[@]}"; do targets+=("${h}_fuzzer" "${h}_replay"); done
cmake --build "$BUILD" -j "$JOBS" --target "${targets[@]}"

scratch=$(mktemp -d /dev/shm/korvel-fuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export KORVEL_FUZZ_SCRATCH=$scratch

rm -rf "$BUILD/seeds"
"$BUILD/fuzz/make_seeds" "$BUILD/seeds"
mkdir -p "$BUILD/crashes"

declare -A max_len=([decode_packet]=8192 [station_list]=2048 [system_files]=8192)
summary=()
failed=0
for h in "${HARNESSES[@]}"; do
  corpus="$BUILD/corpus/$h"
  mkdir -p "$corpus"
  inputs=("$corpus" "$BUILD/seeds/$h")
  [ -d "fuzz/regressions/$h" ] && inputs+=("fuzz/regressions/$h")
  log="$BUILD/$h.log"
  echo "fuzz: $h for ${SECONDS_EACH}s"
  status=0
  "$BUILD/fuzz/${h}_fuzzer" -max_total_time="$SECONDS_EACH" -max_len="${max_len[$h]}" -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$BUILD/crashes/$h-" "${inputs[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  files=$(find "$corpus" -type f | wc -l)
  cov=$(sed -n 's/.* cov: \([0-9]*\) .*/\1/p' "$log" | tail -1)
  if [ "$status" -ne 0 ]; then
    failed=1
    tail -60 "$log"
    summary+=("$(printf '%-14s FAILED (exit %s), see %s and %s/crashes' "$h" "$status" "$log" "$BUILD")")
  else
    summary+=("$(printf '%-14s %10s executions  corpus %6s inputs  coverage %s edges' "$h" "${runs:-?}" "$files" "${cov:-?}")")
  fi
done

echo
echo "fuzz: ${SECONDS_EACH}s per harness"
printf '  %s\n' "${summary[@]}"
exit "$failed"
