#pragma once
#include "aError.h"
#include "aTime.h"

// Calls attempt(1), attempt(2), ... at most count times until one returns aErrNone, pausing
// pauseMs after each failed attempt. aErrNone, or the last attempt's error (aErrParam when
// count is 0).
template <typename Attempt>
[[nodiscard]] aErr RetryBounded(unsigned count, unsigned long pauseMs, Attempt attempt) {
  aErr result = aErrParam;
  for (unsigned number = 1; number <= count; ++number) {
    result = attempt(number);
    if (result == aErrNone) return aErrNone;
    aTime_MSSleep(pauseMs);
  }
  return result;
}
