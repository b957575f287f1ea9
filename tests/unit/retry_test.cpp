#include "aRetry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A pause no test may sit through: a call that returns well before it did not pause.
constexpr unsigned long kNeverSatThroughMs = 30000;
constexpr long long kReturnedPromptlyMs = 10000;

// The times at which attempts began, and the moment the retry returned.
struct Timeline {
  std::vector<Clock::time_point> attempts;
  Clock::time_point returned;

  long long gapMs(size_t index) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(attempts[index + 1] - attempts[index]).count();
  }
  long long tailMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(returned - attempts.back()).count();
  }
};

}  // namespace

// RetryBounded stops at the first success, never exceeds its count, and gives the last error, in
// both pause modes.
TEST(RetryBoundedTest, StopsAtTheFirstSuccessWithinItsCount) {
  struct Case {
    unsigned count;
    unsigned succeedsAt;  // 0 = never
    aErr result;
    unsigned calls;
  };
  const Case cases[] = {
      {5, 1, aErrNone, 1}, {5, 3, aErrNone, 3}, {5, 5, aErrNone, 5},
      {5, 6, aErrTimeout, 5}, {3, 0, aErrTimeout, 3}, {0, 1, aErrParam, 0},
  };
  for (RetryPause pause : {RetryPause::AfterEachFailure, RetryPause::Between}) {
    for (const Case& c : cases) {
      std::vector<unsigned> seen;
      aErr result = RetryBounded(
          c.count, 0,
          [&](unsigned attempt) {
            seen.push_back(attempt);
            return attempt == c.succeedsAt ? aErrNone : aErrTimeout;
          },
          pause);
      EXPECT_EQ(result, c.result) << c.count << " " << c.succeedsAt;
      ASSERT_EQ(seen.size(), c.calls);
      for (unsigned i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i + 1);
    }
  }
}

// Every failed attempt but the last is followed by the pause; the last one only where the caller
// asked for it; a success never is.
TEST(RetryBoundedTest, PausesWhereItsModeSays) {
  constexpr unsigned long kPauseMs = 40;
  for (RetryPause pause : {RetryPause::AfterEachFailure, RetryPause::Between}) {
    Timeline timeline;
    aErr result = RetryBounded(
        3, kPauseMs,
        [&](unsigned) {
          timeline.attempts.push_back(Clock::now());
          return aErrNotFound;
        },
        pause);
    timeline.returned = Clock::now();
    EXPECT_EQ(result, aErrNotFound);
    ASSERT_EQ(timeline.attempts.size(), 3u);
    EXPECT_GE(timeline.gapMs(0), static_cast<long long>(kPauseMs));
    EXPECT_GE(timeline.gapMs(1), static_cast<long long>(kPauseMs));
    if (pause == RetryPause::AfterEachFailure) {
      EXPECT_GE(timeline.tailMs(), static_cast<long long>(kPauseMs));
    }
  }

  const Clock::time_point start = Clock::now();
  EXPECT_EQ(RetryBounded(
                1, kNeverSatThroughMs, [](unsigned) { return aErrNotFound; }, RetryPause::Between),
            aErrNotFound);
  EXPECT_EQ(RetryBounded(4, kNeverSatThroughMs, [](unsigned) { return aErrNone; }), aErrNone);
  EXPECT_LT(msSince(start), kReturnedPromptlyMs);
}

// RetryUntil tries at least once, stops at the first success, and otherwise gives up with the last
// error once the wait has passed: never before it, and after no more attempts than its pauses
// leave room for.
TEST(RetryUntilTest, StopsAtSuccessOrAfterTheWait) {
  std::vector<unsigned> seen;
  aErr result = RetryUntil(kNeverSatThroughMs, 1, [&](unsigned attempt) {
    seen.push_back(attempt);
    return attempt == 3 ? aErrNone : aErrBusy;
  });
  EXPECT_EQ(result, aErrNone);
  EXPECT_EQ(seen, (std::vector<unsigned>{1, 2, 3}));

  Clock::time_point start = Clock::now();
  unsigned calls = 0;
  result = RetryUntil(0, kNeverSatThroughMs, [&](unsigned) {
    ++calls;
    return aErrBusy;
  });
  EXPECT_EQ(result, aErrBusy);
  EXPECT_EQ(calls, 1u);
  EXPECT_LT(msSince(start), kReturnedPromptlyMs);

  constexpr unsigned long kWaitMs = 120;
  constexpr unsigned long kPauseMs = 30;
  Timeline timeline;
  start = Clock::now();
  result = RetryUntil(kWaitMs, kPauseMs, [&](unsigned attempt) {
    timeline.attempts.push_back(Clock::now());
    return attempt == 1 ? aErrTimeout : aErrBusy;
  });
  EXPECT_EQ(result, aErrBusy);
  EXPECT_GE(msSince(start), static_cast<long long>(kWaitMs));
  ASSERT_GE(timeline.attempts.size(), 2u);
  EXPECT_LE(timeline.attempts.size(), kWaitMs / kPauseMs + 1);
  for (size_t i = 0; i + 1 < timeline.attempts.size(); ++i) {
    EXPECT_GE(timeline.gapMs(i), static_cast<long long>(kPauseMs));
  }
}
