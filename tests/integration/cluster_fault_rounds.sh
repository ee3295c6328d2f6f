#!/bin/bash
# Counts what the cluster loses or doubles under its faults, over many rounds:
# the Sentinel failover (master killed 3 s in) and Redis frozen for 5 s.
#   tests/integration/cluster_fault_rounds.sh BUILD_DIR [ROUNDS] [HUB_BINARY]
# HUB_BINARY runs the hubs of another build (the one before a change, say).
set -euo pipefail
build=${1:?build folder}
rounds=${2:-20}
tests="$build/tests/integration/cluster_tests"
[ -n "${3:-}" ] && export KORVEL_HUB_BINARY="$3"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

KORVEL_FAILOVER_ROUNDS=$rounds "$tests" --gtest_filter='*SentinelFailover*' >"$log" 2>&1 || true
grep 'failover round' "$log" | awk -v n="$rounds" '{ lost += $9; twice += $11; bad += ($9 > 0 || $11 > 0) }
    END { printf "failover: %d rounds, %d with a fault, %d lost, %d twice\n", NR, bad, lost, twice }'

"$tests" --gtest_filter='*FrozenLongerThanALease*' --gtest_repeat="$((rounds < 5 ? 5 : rounds / 4))" >"$log" 2>&1 || true
grep 'lost in all' "$log" | awk '{ lost += $5; bad += ($5 > 0) }
    END { printf "Redis frozen 5 s: %d runs, %d with a loss, %d lost\n", NR, bad, lost }'
