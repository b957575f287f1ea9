#pragma once
// Opening the master of a pseudo-terminal pair for tests whose slave stands in for a serial port
// or a kernel node.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include <gtest/gtest.h>

// Opens, grants and unlocks a new master in *master; with raw, also puts the pair in raw mode.
// Call from SetUp through ASSERT_NO_FATAL_FAILURE.
inline void openPtyMaster(int* master, bool raw) {
  *master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(*master, 0);
  ASSERT_EQ(grantpt(*master), 0);
  ASSERT_EQ(unlockpt(*master), 0);
  if (!raw) return;
  struct termios settings;
  ASSERT_EQ(tcgetattr(*master, &settings), 0);
  cfmakeraw(&settings);
  ASSERT_EQ(tcsetattr(*master, TCSANOW, &settings), 0);
}
