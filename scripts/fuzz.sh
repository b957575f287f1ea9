#!/usr/bin/env bash
# Fuzzes every parser of outside bytes. Each fuzz/fuzz_*.cpp is a libFuzzer target, built with
# clang, AddressSanitizer and UBSan in build-fuzz. For each target:
#   1. the kept findings in fuzz/regressions/<target>/ are replayed (each must run clean);
#   2. the target runs for the given number of seconds, starting from the seeds in
#      fuzz/corpus/<target>/ and keeping what it learns in fuzz/corpus-run/<target>/ (not committed).
# A crash, leak, sanitizer report or time-out fails the run; the input is left in
# build-fuzz/findings/<target>/ and the script prints how to keep it as a regression input.
#
# Usage: scripts/fuzz.sh [seconds-per-target [target...]]   (default 12 seconds, all targets;
#        0 seconds: build the targets only)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-12}
shift || true
build=build-fuzz
per_input_timeout=${FUZZ_INPUT_TIMEOUT:-25}

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/fuzz_*.cpp; do
    [ -e "$source" ] || continue
    name=$(basename "$source" .cpp)
    targets+=("$name")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets in fuzz/"
  exit 0
fi

echo "=== fuzz: building ${targets[*]} in $build"
cmake -S fuzz -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >"$build/build.log" 2>&1 || {
  tail -n 60 "$build/build.log"
  echo "fuzz: build failed (full log: $build/build.log)"
  exit 1
}

if [ "$seconds" = 0 ]; then
  echo "=== fuzz: built ${#targets[@]} targets"
  exit 0
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# One target: its kept findings replayed, then the run; what it reports goes to stdout.
fuzz_one() {
  local target=$1
  local binary="$build/$target"
  local findings="$build/findings/$target"
  local log="$build/$target.log"
  mkdir -p "$findings" "fuzz/corpus-run/$target"
  find "$findings" -type f -delete

  local regressions=()
  if [ -d "fuzz/regressions/$target" ]; then
    while IFS= read -r -d '' file; do regressions+=("$file"); done \
      < <(find "fuzz/regressions/$target" -type f ! -name '*.md' -print0 | sort -z)
  fi
  if [ ${#regressions[@]} -gt 0 ]; then
    echo "=== fuzz: $target: replaying ${#regressions[@]} regression input(s)"
    if ! "$binary" -timeout="$per_input_timeout" "${regressions[@]}" >"$log" 2>&1; then
      tail -n 40 "$log"
      echo "fuzz: $target fails on a kept regression input (log: $log)"
      return 1
    fi
  fi

  local corpora=("fuzz/corpus-run/$target")
  [ -d "fuzz/corpus/$target" ] && corpora+=("fuzz/corpus/$target")
  echo "=== fuzz: $target for ${seconds}s"
  if "$binary" -max_total_time="$seconds" -timeout="$per_input_timeout" -rss_limit_mb=2048 \
      -artifact_prefix="$findings/" -print_final_stats=1 "${corpora[@]}" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units' "$log" | sed "s/^/fuzz: $target: /" || true
    return 0
  fi
  tail -n 40 "$log"
  echo "fuzz: $target found a fault (log: $log). Inputs:"
  ls -1 "$findings" | sed "s|^|  $findings/|"
  echo "Keep each as a regression input named after the bug:"
  echo "  mv $findings/<file> fuzz/regressions/$target/<what-went-wrong>"
  return 1
}

# The targets run side by side, one per processor; their reports are shown in order.
at_once=$(nproc)
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$at_once" ]; do wait -n || true; done
  ( code=0; fuzz_one "$target" >"$build/$target.report" 2>&1 || code=$?; echo "$code" >"$build/$target.status" ) &
done
wait
status=0
for target in "${targets[@]}"; do
  cat "$build/$target.report"
  [ "$(cat "$build/$target.status" 2>/dev/null)" = 0 ] || status=1
done
exit $status
