// The test hook that shortens the waits of many seconds: only a positive number shorter than the
// production bound changes it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/TestHook.h"

TEST(TestHook, OnlyAShorterPositiveNumberCutsTheBound) {
  const struct {
    const char* value;  // null: the variable is not set
    unsigned long bound;
  } cases[] = {{nullptr, 30000}, {"500", 500}, {"30000", 30000}, {"40000", 30000}, {"0", 30000},
               {"", 30000},      {"abc", 30000}, {"-5", 30000},    {"500ms", 30000}, {" 500", 30000}};
  for (const auto& c : cases) {
    if (c.value == nullptr) {
      unsetenv(kTestHookLongWaitVariable);
    } else {
      setenv(kTestHookLongWaitVariable, c.value, 1);
    }
    EXPECT_EQ(TestHook_LongWaitMs(30000), c.bound) << (c.value ? c.value : "(not set)");
  }
  unsetenv(kTestHookLongWaitVariable);
}
