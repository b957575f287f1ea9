#!/usr/bin/env bash
# The whole test suite: a normal build, an AddressSanitizer/UBSan build and a ThreadSanitizer
# build of the queue and link-engine tests, then the short fuzz runs.
#
# Most of the time of the tests goes on sitting out simulated flash erases, module restarts and
# bounds on servers that never answer, with the processors idle. So while the tests of one build
# run, the next builds and the fuzz runs go on beside them at the lowest priority: they take only
# the processor time the tests leave, and the tests see an unloaded machine whenever they run.
# Their output is kept in build-logs/ and shown when they end.
set -euo pipefail
cd "$(dirname "$0")/.."

# CTest runs this many tests at once: most of them wait rather than compute (the long end-to-end
# suites run three of their tests at once on top).
ctest_jobs=$(($(nproc) * 2))
logs=build-logs
mkdir -p "$logs"
status=0

run_ctest() {
  local dir=$1
  shift
  echo "=== ctest in $dir $*"
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$ctest_jobs" "$@") || status=1
}

# Runs a command at the lowest priority in the background, its output to build-logs/NAME.log.
beside() {
  local name=$1
  shift
  nice -n 19 "$@" >"$logs/$name.log" 2>&1
}

# Waits for a background step; shows its log (the end of it when it failed).
finish() {
  local name=$1 pid=$2
  if wait "$pid"; then
    echo "=== $name: done (log: $logs/$name.log)"
  else
    tail -n 60 "$logs/$name.log"
    echo "=== $name: FAILED (log: $logs/$name.log)"
    status=1
    return 1
  fi
}

# The first build also installs what is missing, before anything runs beside it.
scripts/setup.sh build -DUPDATER_WERROR=ON

beside sanitizer-builds sh -c '
  scripts/setup.sh build-asan -DUPDATER_WERROR=ON -DSANITIZE=address -DCMAKE_BUILD_TYPE=Debug \
    -DUPDATER_BENCH=OFF &&
  scripts/setup.sh build-tsan -DUPDATER_WERROR=ON -DSANITIZE=thread -DCMAKE_BUILD_TYPE=Debug \
    -DUPDATER_BENCH=OFF -DUPDATER_E2E=OFF "-DUPDATER_TEST_FILTER=^tsan_" &&
  if [ -x scripts/fuzz.sh ]; then scripts/fuzz.sh 0; fi' &
builds=$!
run_ctest build
finish sanitizer-builds $builds || exit 1

# The short fuzz runs: 12 seconds per target, beside the sanitizer build's tests.
fuzz=
if [ -x scripts/fuzz.sh ]; then
  beside fuzz scripts/fuzz.sh 12 &
  fuzz=$!
fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L tsan
if [ -n "$fuzz" ]; then
  finish fuzz $fuzz || true   # its failure is in status; the summary below still shows
  grep -E '^(=== |fuzz: )' "$logs/fuzz.log" || true
fi
exit $status
