#include "Retry.h"

#include <gtest/gtest.h>

#include <vector>

// RetryBounded stops at the first success, never exceeds its count, and gives the last error.
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
  for (const Case& c : cases) {
    std::vector<unsigned> seen;
    aErr result = RetryBounded(c.count, 0, [&](unsigned attempt) {
      seen.push_back(attempt);
      return attempt == c.succeedsAt ? aErrNone : aErrTimeout;
    });
    EXPECT_EQ(result, c.result) << c.count << " " << c.succeedsAt;
    ASSERT_EQ(seen.size(), c.calls);
    for (unsigned i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i + 1);
  }
}
