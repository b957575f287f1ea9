#!/usr/bin/env bash
# The whole test suite: a normal build, an AddressSanitizer/UBSan build and a ThreadSanitizer
# build of the queue and link-engine tests, then the short fuzz runs.
#
# Most of the time of the tests goes on sitting out simulated flash erases, module restarts and
# bounds on servers that never answer, with the processors idle. So while the tests of one build
# run, the next builds and the fuzz runs go on beside them at the lowest priority: they take only
# the processor time the tests leave, and the tests see an unloaded machine whenever they run.
# The tests of each build start as soon as that build is ready. The output of the background
# steps is kept in build-logs/ and shown when they end.
set -euo pipefail
cd "$(dirname "$0")/.."

# CTest runs this many tests at once: most of them wait rather than compute (the long end-to-end
# suites run three of their tests at once on top). Four per processor took the normal build's
# tests from 227 s to 150 s on two cores, but the recovery suites' simulated chips, answering in
# real time, then missed their time limits in one run out of two: two per processor.
ctest_jobs=$(($(nproc) * 2))
logs=build-logs
mkdir -p "$logs"
rm -f "$logs"/*.status
status=0

# The time since the start, before each phase: where the run spends its time.
phase() {
  echo "=== [$(printf '%4d' "$SECONDS") s] $*"
}

run_ctest() {
  local dir=$1
  shift
  phase "ctest in $dir $*"
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$ctest_jobs" "$@") || status=1
  phase "ctest in $dir: ended"
}

# Runs one step of the background chain at the lowest priority, its output in build-logs/NAME.log,
# and leaves its exit status in build-logs/NAME.status for await_step.
step() {
  local name=$1 code=0
  shift
  nice -n 19 "$@" >"$logs/$name.log" 2>&1 || code=$?
  echo "$code" >"$logs/$name.status"
  return "$code"
}

# Waits until a step of the background chain (process id chain) has ended; shows its log (the end
# of it when it failed). A step the chain never reached, because an earlier one failed, fails too.
await_step() {
  local name=$1 chain=$2
  while [ ! -e "$logs/$name.status" ] && kill -0 "$chain" 2>/dev/null; do
    sleep 1
  done
  if [ "$(cat "$logs/$name.status" 2>/dev/null)" = 0 ]; then
    phase "$name: done (log: $logs/$name.log)"
    return 0
  fi
  [ -e "$logs/$name.log" ] && tail -n 60 "$logs/$name.log"
  phase "$name: FAILED (log: $logs/$name.log)"
  status=1
  return 1
}

# The first build also installs what is missing, before anything runs beside it.
phase "build"
scripts/setup.sh build -DUPDATER_WERROR=ON

# The other builds and the fuzz runs in the order their tests come: the ASan build alone beside
# the normal build's tests; then, beside the ASan build's tests, the TSan build and, at the same
# time, the fuzz build with the short fuzz runs (12 seconds per target).
(
  step build-asan scripts/setup.sh build-asan -DUPDATER_WERROR=ON -DSANITIZE=address \
    -DCMAKE_BUILD_TYPE=Debug -DUPDATER_BENCH=OFF || exit 1
  if [ -x scripts/fuzz.sh ]; then step fuzz scripts/fuzz.sh 12 & fi
  step build-tsan scripts/setup.sh build-tsan -DUPDATER_WERROR=ON -DSANITIZE=thread \
    -DCMAKE_BUILD_TYPE=Debug -DUPDATER_BENCH=OFF -DUPDATER_E2E=OFF "-DUPDATER_TEST_FILTER=^tsan_" || true
  wait
) &
chain=$!

run_ctest build
await_step build-asan $chain || exit 1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan
await_step build-tsan $chain || { wait $chain; exit 1; }   # the fuzz runs beside it end first
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L tsan
if [ -x scripts/fuzz.sh ]; then
  await_step fuzz $chain || true   # its failure is in status; the summary below still shows
  grep -E '^(=== |fuzz: )' "$logs/fuzz.log" || true
fi
wait $chain || true
phase "end"
exit $status
