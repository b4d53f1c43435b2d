#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets (clang, ASan+UBSan) and runs each for SECONDS
# (default 60), or for FUZZ_RUNS executions when that is set, starting from a scratch copy of its
# committed seed corpus. Never part of the test suite; the seeds themselves replay there as
# ordinary tests.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/setup.sh
bash scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELTRABOX_SANITIZE=address,undefined -DVELTRABOX_FUZZ=ON
for target in build-fuzz/tests/fuzz/fuzz_*; do
  name=$(basename "$target")
  corpus=$(mktemp -d "/tmp/veltrabox-$name-XXXXXX")
  cp tests/fuzz/corpus/"${name#fuzz_}"/* "$corpus"/
  if [ -n "${FUZZ_RUNS:-}" ]; then limit=-runs=$FUZZ_RUNS; else limit=-max_total_time=$seconds; fi
  echo "=== $name, ${limit#-}"
  "$target" "$limit" -print_final_stats=1 "$corpus" 2>&1 |
      grep -E "^stat::(number_of_executed_units|new_units_added)|ERROR|SUMMARY"
  rm -rf "$corpus"
done
