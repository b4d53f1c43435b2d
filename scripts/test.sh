#!/usr/bin/env bash
# Installs what the tests need, then builds and runs the suite in four builds, warnings as
# errors in all of them:
#   plain    g++: every test, the checks of files and scripts included
#   asan     clang with AddressSanitizer + UndefinedBehaviorSanitizer, and the fuzz targets
#   tsan     g++ with ThreadSanitizer
#   release  g++ -O3, as a packager builds it
# The sanitizer and Release builds run the tests of the code ("code" label); the parsers'
# replays and the shell checks ("plain" label) gain nothing from a second compiler. Each build
# compiles while the previous build's tests run (they mostly wait on timers and sockets), on
# processor time that the tests leave idle (SCHED_IDLE) only. A table of where the time went
# ends the run.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
bash scripts/setup.sh
jobs=$(nproc)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

names=(plain asan tsan release)
declare -A options=(
  [plain]="-DCMAKE_CXX_COMPILER=g++"
  [asan]="-DCMAKE_CXX_COMPILER=clang++ -DVELTRABOX_SANITIZE=address,undefined -DVELTRABOX_FUZZ=ON
          -DVELTRABOX_REPLAYS=OFF"
  [tsan]="-DCMAKE_CXX_COMPILER=g++ -DVELTRABOX_SANITIZE=thread -DVELTRABOX_REPLAYS=OFF"
  [release]="-DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release -DVELTRABOX_REPLAYS=OFF")
# Line tables only, which is what a failure's report needs, and the sanitizers' builds at -O1, as
# the sanitizers advise: the compiler spends less.
declare -A flags=([plain]="-O2 -g1 -DNDEBUG" [asan]="-O1 -g1 -DNDEBUG" [tsan]="-O1 -g1 -DNDEBUG")
declare -A labels=([plain]="" [asan]="-L code" [tsan]="-L code" [release]="-L code")
declare -A dirs=([plain]=build-test [asan]=build-asan [tsan]=build-tsan [release]=build-release)
declare -A configure_s build_s test_s

# Configures and builds one build, its output in DIR/build.log; the seconds of each step go to
# DIR/times.
build() {
  local name=$1 dir=${dirs[$1]} t0 t1
  mkdir -p "$dir"
  t0=$SECONDS
  # shellcheck disable=SC2086 # the options are words
  cmake -S . -B "$dir" -G Ninja -DVELTRABOX_WERROR=ON ${options[$name]} \
    ${flags[$name]:+"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=${flags[$name]}"} >"$dir/build.log" 2>&1 &&
    t1=$SECONDS && cmake --build "$dir" >>"$dir/build.log" 2>&1 &&
    echo "$((t1 - t0)) $((SECONDS - t1))" >"$dir/times"
}

start_build() {  # in the background, on idle processor time only, in a process group of its own
  rm -f "${dirs[$1]}/times"
  setsid chrt --idle 0 bash -c "$(declare -f build); $(declare -p options flags dirs); build $1" &
  pid=$!
}

finish_build() {
  local name=$1 dir=${dirs[$1]}
  if ! wait "$2"; then
    echo "=== $name: the build failed"
    tail -n 60 "$dir/build.log"
    exit 1
  fi
  read -r configure_s[$name] build_s[$name] <"$dir/times"
}

finish() {
  # A failed test leaves no compiler running behind it.
  [ -z "${pid:-}" ] || kill -- -"$pid" 2>/dev/null || true
  table
}

table() {
  printf '\n%-8s %10s %8s %8s\n' build configure build test
  for name in "${names[@]}"; do
    printf '%-8s %9ss %7ss %7ss\n' "$name" "${configure_s[$name]:--}" "${build_s[$name]:--}" \
      "${test_s[$name]:--}"
  done
  echo "whole run, set-up included, the builds overlapping the tests: $((SECONDS - started))s"
}
trap finish EXIT

start_build plain
for i in "${!names[@]}"; do
  name=${names[$i]}
  finish_build "$name" "$pid"
  pid=""
  next=${names[$((i + 1))]:-}
  [ -z "$next" ] || start_build "$next"
  echo "=== ${dirs[$name]}"
  t0=$SECONDS
  passed=yes
  # shellcheck disable=SC2086 # the label selection is words
  (cd "${dirs[$name]}" && ctest --output-on-failure -j "$jobs" ${labels[$name]}) || passed=no
  test_s[$name]=$((SECONDS - t0))
  [ "$passed" = yes ] || exit 1
done
