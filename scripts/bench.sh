#!/usr/bin/env bash
# Builds and runs the benchmarks (never part of the test suite).
set -euo pipefail
cd "$(dirname "$0")/.."
# The bridges that the telegram benchmark sets beside the server.
bash scripts/setup.sh socat ser2net
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DVELTRABOX_BENCH=ON \
    -DVELTRABOX_TESTS=OFF
for b in build-bench/bench/bench_*; do [ -x "$b" ] && "$b"; done
build-bench/bench/telegrams build-bench/veltrabox
for s in bench/*.sh; do [ -f "$s" ] && bash "$s" build-bench; done
