#!/usr/bin/env bash
# The test command, in two tiers:
#   bash scripts/test.sh          the quick tier: set-up, the normal build and every test against it
#                                 (unit, end-to-end, packaging, layers)
#   bash scripts/test.sh --full   the quick tier, then the AddressSanitizer/UBSan build with the
#                                 tests labelled `sanitize`, the ThreadSanitizer build with those
#                                 labelled `tsan`, and the short fuzz runs (what .ci/run runs)
# Each tier ends with its ten slowest tests.
#
# Most of the time of the tests goes on sitting out simulated flash erases, module restarts and
# bounds on servers that never answer, with the processors idle. So in the full tier, while the
# tests of one build run, the next builds and the fuzz runs go on beside them at the lowest
# priority: they take only the processor time the tests leave. The tests of each build start as
# soon as that build is ready. The output of the background steps is kept in build-logs/ and shown
# when they end.
set -euo pipefail
cd "$(dirname "$0")/.."

full=0
case "${1:-}" in
  --full) full=1 ;;
  "") ;;
  *)
    echo "usage: bash scripts/test.sh [--full]" >&2
    exit 2
    ;;
esac

# CTest runs this many tests at once: most of them wait rather than compute (the long end-to-end
# suites run three of their tests at once on top). Three per processor, with two busy processes
# beside the run, left the harness's own processes (an update server, a module simulator before it
# raises its priority) unable to start within their bounds: two per processor.
ctest_jobs=$(($(nproc) * 2))
logs=build-logs
mkdir -p "$logs"
rm -f "$logs"/*.status "$logs"/ctest-*.log
status=0

# The time since the start, before each phase: where the run spends its time.
phase() {
  echo "=== [$(printf '%4d' "$SECONDS") s] $*"
}

# Runs the tests of one build (extra arguments go to ctest); its output is kept for the list of
# the slowest tests. A run in which no test passed fails, whatever ctest says of skipped tests.
run_ctest() {
  local dir=$1 log
  shift
  log="$logs/ctest-$(basename "$dir").log"
  phase "ctest in $dir $*"
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$ctest_jobs" "$@") 2>&1 | tee "$log" \
    || status=1
  if ! grep -qE 'Test +#[0-9]+: .* Passed +[0-9.]+ sec' "$log"; then
    echo "ctest in $dir: no test ran and passed"
    status=1
  fi
  phase "ctest in $dir: ended"
}

# The ten slowest tests of the tier's ctest runs, with the build they ran in.
slowest_tests() {
  echo "=== the ten slowest tests (seconds, build, test)"
  local log build
  for log in "$logs"/ctest-*.log; do
    [ -e "$log" ] || continue
    build=${log#"$logs"/ctest-}
    sed -nE "s/^.*Test +#[0-9]+: ([^ ]+) .* ([0-9]+\.[0-9]+) sec\$/\2 ${build%.log} \1/p" "$log"
  done | sort -rn | awk 'NR <= 10 { printf "%9.2f  %-11s %s\n", $1, $2, $3 }'   # reads all: no SIGPIPE
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

finish() {
  slowest_tests
  phase "end ($([ "$status" = 0 ] && echo passed || echo FAILED))"
  exit $status
}

# The first build also installs what is missing, before anything runs beside it.
phase "build"
scripts/setup.sh build -DUPDATER_WERROR=ON

if [ "$full" = 0 ]; then
  run_ctest build
  finish
fi

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
await_step build-asan $chain || { wait $chain || true; finish; }
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan -L sanitize
if await_step build-tsan $chain; then   # the fuzz runs beside it end first
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L tsan
fi
if [ -x scripts/fuzz.sh ]; then
  await_step fuzz $chain || true   # its failure is in status; the summary below still shows
  grep -E '^(=== |fuzz: )' "$logs/fuzz.log" || true
fi
wait $chain || true
finish
