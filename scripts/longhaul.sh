#!/usr/bin/env bash
# longhaul.sh: the long-haul figures, never part of the test suite; hours on a small machine.
#   1. 10^6 telegrams each way through the real server between a pty (the LON side) and a TCP
#      client, every one checked whole and in order (bench/telegrams with a burst of 10^6);
#   2. 10^4 connect/transfer/disconnect cycles with no fault injected, telegrams checked and
#      descriptors, threads, heap and resident memory held flat (scripts/faultsoak.sh);
#   3. every fuzz target for 10^7 executions from its seed corpus, with the libraries under
#      test instrumented, each target's coverage and new inputs printed (scripts/fuzz.sh).
# TELEGRAMS, CYCLES and FUZZ_RUNS override the three counts.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DVELTRABOX_BENCH=ON \
    -DVELTRABOX_TESTS=OFF
echo "=== telegrams: ${TELEGRAMS:-1000000} each way"
build-bench/bench/telegrams build-bench/veltrabox "${TELEGRAMS:-1000000}" 100
echo "=== soak: ${CYCLES:-10000} cycles"
CYCLES=${CYCLES:-10000} CHANCE=0 bash scripts/faultsoak.sh
echo "=== fuzzing: ${FUZZ_RUNS:-10000000} executions per target"
FUZZ_RUNS=${FUZZ_RUNS:-10000000} bash scripts/fuzz.sh
