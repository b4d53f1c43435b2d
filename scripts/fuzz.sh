#!/usr/bin/env bash
# fuzz.sh [SECONDS [TARGET...]]: builds the libFuzzer targets (clang, ASan+UBSan, the libraries
# under test instrumented for coverage) and runs each (or each TARGET, e.g. fuzz_registry) for
# SECONDS (default 60), or for FUZZ_RUNS executions when that is set, starting from a scratch
# copy of its committed seed corpus. Per target it prints the coverage counters compiled in (a
# target whose code under test is not instrumented shows only its harness's few), the coverage
# and features reached, and the new inputs found. A crashing input is kept in
# build-fuzz/findings/. Never part of the test suite; the seeds themselves replay there as
# ordinary tests.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
bash scripts/setup.sh
bash scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELTRABOX_SANITIZE=address,undefined -DVELTRABOX_FUZZ=ON
mkdir -p build-fuzz/findings
if [ $# -gt 0 ]; then targets=("${@/#/build-fuzz/tests/fuzz/}"); else targets=(build-fuzz/tests/fuzz/fuzz_*); fi
if [ -n "${FUZZ_RUNS:-}" ]; then limit=-runs=$FUZZ_RUNS; else limit=-max_total_time=$seconds; fi
failed=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus=$(mktemp -d "/tmp/veltrabox-$name-XXXXXX")
  log=$corpus.log
  cp tests/fuzz/corpus/"${name#fuzz_}"/* "$corpus"/
  echo "=== $name, ${limit#-}"
  # The targets' own output (error lines of refused input) is closed; libFuzzer and the
  # sanitizers report on a copy of standard error.
  "$target" "$limit" -print_final_stats=1 -close_fd_mask=3 \
      -artifact_prefix=build-fuzz/findings/"$name"- "$corpus" >"$log" 2>&1 || failed=1
  grep -E "ERROR|SUMMARY|written to" "$log" || true
  counters=$(sed -nE 's/^INFO: Loaded ([0-9]+) modules? +\(([0-9]+) inline 8-bit counters\).*/\2 counters in \1 modules/p' "$log")
  reached=$(grep -oE "cov: [0-9]+ ft: [0-9]+" "$log" | tail -n 1)
  stat() { sed -nE "s/^stat::$1: *([0-9]+)/\1/p" "$log"; }
  echo "$name: ${counters:-no counters}; $(stat number_of_executed_units) runs at" \
       "$(stat average_exec_per_sec)/s; ${reached:-no coverage}; $(stat new_units_added) new inputs"
  rm -rf "$corpus" "$log"
done
exit $failed
