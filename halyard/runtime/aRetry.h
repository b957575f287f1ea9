#pragma once
#include <chrono>

#include "aError.h"
#include "aTime.h"

// Where a bounded retry pauses: only between two attempts, or after every failed attempt, the
// last one too (for a caller whose next step needs the same settling time).
enum class RetryPause { Between, AfterEachFailure };

// Calls attempt(1), attempt(2), ... at most count times until one returns aErrNone, pausing
// pauseMs where `pause` says. aErrNone, or the last attempt's error (aErrParam when count is 0).
template <typename Attempt>
[[nodiscard]] aErr RetryBounded(unsigned count, unsigned long pauseMs, Attempt attempt,
                                RetryPause pause = RetryPause::AfterEachFailure) {
  aErr result = aErrParam;
  for (unsigned number = 1; number <= count; ++number) {
    result = attempt(number);
    if (result == aErrNone) return aErrNone;
    if (number < count || pause == RetryPause::AfterEachFailure) aTime_MSSleep(pauseMs);
  }
  return result;
}

// Calls attempt(1), attempt(2), ... pausing pauseMs between two, until one returns aErrNone or
// one fails once waitMs have passed since the call began (there is always a first attempt).
// aErrNone, or the last attempt's error. The wait is measured on a clock that never jumps.
template <typename Attempt>
[[nodiscard]] aErr RetryUntil(unsigned long waitMs, unsigned long pauseMs, Attempt attempt) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (unsigned number = 1;; ++number) {
    aErr result = attempt(number);
    if (result == aErrNone || std::chrono::steady_clock::now() >= deadline) return result;
    aTime_MSSleep(pauseMs);
  }
}
