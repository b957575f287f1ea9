#!/usr/bin/env bash
# The test command, in two tiers:
#   bash scripts/test.sh          the quick tier: set-up, the normal build and every test against it
#                                 (unit, end-to-end, packaging, layers)
#   bash scripts/test.sh --full   the quick tier, then the AddressSanitizer/UBSan build with the
#                                 tests labelled `sanitize`, the ThreadSanitizer build with those
#                                 labelled `tsan`, and the short fuzz runs (what .ci/run runs)
# Each tier ends with its ten slowest tests.
#
# In the full tier the sanitizer builds, the ThreadSanitizer tests and the fuzz runs go beside
# the tests of the build before them, at the lowest priority: the tests mostly sit out simulated
# parts' time (the parts themselves run at real-time priority, see sim/part_priority.py), so what
# goes beside them takes the processors they leave idle. The output of each build is kept in
# build-logs/ and its end shown when it fails.
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
rm -f "$logs"/*.status "$logs"/*.out "$logs"/ctest-*.log
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

# Runs one build step, its output in build-logs/NAME.log (the end of it shown when it fails).
build_step() {
  local name=$1
  shift
  phase "$name"
  if "$@" >"$logs/$name.log" 2>&1; then
    phase "$name: done (log: $logs/$name.log)"
    return 0
  fi
  tail -n 60 "$logs/$name.log"
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

[ "$full" = 1 ] || {
  run_ctest build
  finish
}

asan_build() {
  build_step build-asan nice -n 19 scripts/setup.sh build-asan -DUPDATER_WERROR=ON -DSANITIZE=address \
    -DCMAKE_BUILD_TYPE=Debug -DUPDATER_BENCH=OFF
}
# The ThreadSanitizer build and its tests, then the fuzz runs: beside the AddressSanitizer tests.
tsan_and_fuzz() {
  if build_step build-tsan nice -n 19 scripts/setup.sh build-tsan -DUPDATER_WERROR=ON -DSANITIZE=thread \
    -DCMAKE_BUILD_TYPE=Debug -DUPDATER_BENCH=OFF -DUPDATER_E2E=OFF "-DUPDATER_TEST_FILTER=^tsan_"; then
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L tsan
  fi
  if [ -x scripts/fuzz.sh ]; then
    build_step fuzz nice -n 19 scripts/fuzz.sh 12 || true   # its failure is in status
    grep -E '^(=== |fuzz: )' "$logs/fuzz.log" || true
  fi
}

# A phase beside the tests runs in a subshell of its own: its output goes to build-logs/NAME.out,
# shown once it has ended, and its status to build-logs/NAME.status.
beside() {
  local name=$1
  shift
  ( status=0; "$@" >"$logs/$name.out" 2>&1 || status=1; echo "$status" >"$logs/$name.status" ) &
}
# Waits for the phases beside and shows what they wrote; a phase that failed fails the tier.
join_beside() {
  local name
  wait
  for name in "$@"; do
    cat "$logs/$name.out"
    [ "$(cat "$logs/$name.status" 2>/dev/null)" = 0 ] || status=1
  done
}

beside asan asan_build
run_ctest build
join_beside asan
if [ -x build-asan/Updater ] && grep -q "build-asan: done" "$logs/asan.out"; then
  beside tsan-fuzz tsan_and_fuzz
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan -L sanitize
  join_beside tsan-fuzz
else
  tsan_and_fuzz
fi
finish
