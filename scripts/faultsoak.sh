#!/usr/bin/env bash
# faultsoak.sh: the fault soak, never part of the test suite. The real server on a pty, with
# every platform system call failing now and then by seeded chance, serves CYCLES clients
# (default 10000, about two minutes), each passing 4 numbered, checksummed telegrams each way.
# It fails if the server ends, a telegram arrives corrupted, doubled or out of order, one is
# lost in a cycle without an injected fault, or descriptors, threads, heap or resident memory
# grow. SEED (default 1) and CHANCE (per million calls, default 3000) choose the faults.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-soak -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRABOX_TESTS=OFF \
    -DVELTRABOX_FAULT_INJECTION=ON -DVELTRABOX_BENCH=ON >/dev/null
cmake --build build-soak --target faultsoak veltrabox
build-soak/bench/faultsoak build-soak/veltrabox "${CYCLES:-10000}" "${SEED:-1}" "${CHANCE:-3000}"
