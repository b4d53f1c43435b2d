#!/usr/bin/env bash
# Installs, builds and runs the whole test suite four times: a plain g++ build, clang with
# AddressSanitizer + UndefinedBehaviorSanitizer (also building the fuzz targets), g++ with
# ThreadSanitizer, and a g++ Release build (-O3, as a packager builds it). Warnings are errors
# in all four.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

run() {
  local dir=$1; shift
  echo "=== $dir"
  bash scripts/build.sh "$dir" -DVELTRABOX_WERROR=ON "$@"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run build-test -DCMAKE_CXX_COMPILER=g++
run build-asan -DCMAKE_CXX_COMPILER=clang++ -DVELTRABOX_SANITIZE=address,undefined \
    -DVELTRABOX_FUZZ=ON
run build-tsan -DCMAKE_CXX_COMPILER=g++ -DVELTRABOX_SANITIZE=thread
run build-release -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release
