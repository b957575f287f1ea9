// aStream_Drain: transports without a drain callback say so; a serial port drains with tcdrain.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "aStream.h"

namespace {

int drains = 0;

aErr noGet(uint8_t*, void*) { return aErrNotReady; }
aErr noDelete(void*) { return aErrNone; }
aErr countingDrain(void*) {
  ++drains;
  return aErrBusy;
}

TEST(StreamDrain, WithoutADrainCallbackTheStreamSaysSo) {
  EXPECT_EQ(aStream_Drain(nullptr), aErrParam);
  aStreamRef stream = aStream_Create(noGet, nullptr, nullptr, noDelete, nullptr);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(aStream_Drain(stream), aErrUnimplemented);
  ASSERT_EQ(aStream_SetDrainProc(stream, countingDrain), aErrNone);
  drains = 0;
  EXPECT_EQ(aStream_Drain(stream), aErrBusy);
  EXPECT_EQ(drains, 1);
  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(aStream_SetDrainProc(stream, countingDrain), aErrParam);
}

TEST(StreamDrain, SerialPortDrainsWhatWasWritten) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string path = ptsname(master);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(path.c_str(), 6, false, aSerialBits8, aSerialStopBits1, &stream), aErrNone);
  const uint8_t text[] = {'W', ' ', '1', '\r', '\n'};
  ASSERT_EQ(aStream_Write(stream, text, sizeof text), aErrNone);
  EXPECT_EQ(aStream_Drain(stream), aErrNone);
  std::string arrived;
  struct pollfd waiting = {master, POLLIN, 0};
  char buffer[16];
  while (arrived.size() < sizeof text && poll(&waiting, 1, 2000) > 0) {
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    arrived.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(arrived, "W 1\r\n");
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  close(master);
}

}  // namespace
