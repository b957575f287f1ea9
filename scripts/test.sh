#!/usr/bin/env bash
# The test command, in two tiers:
#   bash scripts/test.sh          the quick tier: set-up, the normal build and every test against it
#                                 (unit, end-to-end, packaging, layers)
#   bash scripts/test.sh --full   the quick tier, then the AddressSanitizer/UBSan build with the
#                                 tests labelled `sanitize`, the ThreadSanitizer build with those
#                                 labelled `tsan`, and the short fuzz runs (what .ci/run runs)
# Each tier ends with its ten slowest tests.
#
# In the full tier each build and its tests run one after the other, with nothing of ours beside
# the tests: a build at the lowest priority beside them gained about a minute (it got only what the
# tests left) and was there in every run whose simulated parts' answers reached the program later
# than its bounds (three runs of six), which two busy processes beside those tests did not bring
# about in 38 runs. The output of each build is kept in build-logs/ and its end shown when it fails.
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

run_ctest build
[ "$full" = 1 ] || finish
if build_step build-asan scripts/setup.sh build-asan -DUPDATER_WERROR=ON -DSANITIZE=address \
  -DCMAKE_BUILD_TYPE=Debug -DUPDATER_BENCH=OFF; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan -L sanitize
fi
if build_step build-tsan scripts/setup.sh build-tsan -DUPDATER_WERROR=ON -DSANITIZE=thread \
  -DCMAKE_BUILD_TYPE=Debug -DUPDATER_BENCH=OFF -DUPDATER_E2E=OFF "-DUPDATER_TEST_FILTER=^tsan_"; then
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L tsan
fi
if [ -x scripts/fuzz.sh ]; then
  build_step fuzz scripts/fuzz.sh 12 || true   # its failure is in status; the summary below still shows
  grep -E '^(=== |fuzz: )' "$logs/fuzz.log" || true
fi
finish
