#!/usr/bin/env bash
# The whole test suite: a normal build, an AddressSanitizer/UBSan build and a ThreadSanitizer
# build of the queue and link-engine tests, then the short fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
scripts/setup.sh build -DUPDATER_WERROR=ON
scripts/setup.sh build-asan -DUPDATER_WERROR=ON -DSANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DUPDATER_BENCH=OFF
scripts/setup.sh build-tsan -DUPDATER_WERROR=ON -DSANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DUPDATER_BENCH=OFF \
  -DUPDATER_E2E=OFF "-DUPDATER_TEST_FILTER=^tsan_"

status=0
run_ctest() {
  local dir=$1
  shift
  echo "=== ctest in $dir $*"
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$jobs" "$@") || status=1
}

run_ctest build
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L tsan

# The short fuzz runs: 12 seconds per target, so that all of them together stay near 2 minutes.
if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh 12 || status=1
fi
exit $status
