// The serial SDP transport on a pseudo-terminal: what reaches the line, what it reads back, the
// bound on a port that stops taking data, and the closing of the port.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pty_support.h"
#include "recovery/imx/Serial_SDPLoader.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr int STEP_TIMEOUT_MS = 5000;

// The device end of a pseudo-terminal; the transport opens the terminal end by its path.
class SerialOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(openPtyMaster(&master, false));
    char name[128];
    ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
    path = name;
    int flags = fcntl(master, F_GETFL);
    ASSERT_EQ(fcntl(master, F_SETFL, flags | O_NONBLOCK), 0);
  }
  void TearDown() override {
    if (master >= 0) close(master);
  }

  void deviceSends(const Bytes& bytes) {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Exactly count bytes from the line, or fewer after the step time-out.
  Bytes deviceReceives(size_t count) {
    Bytes got;
    auto deadline = Clock::now() + std::chrono::milliseconds(STEP_TIMEOUT_MS);
    while (got.size() < count && Clock::now() < deadline) {
      struct pollfd entry {master, POLLIN, 0};
      if (poll(&entry, 1, 50) <= 0) continue;
      unsigned char chunk[4096];
      ssize_t n = read(master, chunk, std::min(sizeof chunk, count - got.size()));
      if (n > 0) got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }

  // Reads everything the line holds until it stays quiet for 100 ms; the number of bytes.
  size_t drain() {
    size_t total = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(STEP_TIMEOUT_MS);
    struct pollfd entry {master, POLLIN, 0};
    while (Clock::now() < deadline && poll(&entry, 1, 100) > 0) {
      unsigned char chunk[4096];
      ssize_t n = read(master, chunk, sizeof chunk);
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    return total;
  }

  int master = -1;
  std::string path;
};

Bytes frameOf(unsigned char report, size_t payload) {
  Bytes frame{report};
  for (size_t i = 0; i < payload; ++i) frame.push_back(static_cast<unsigned char>(i * 13 + 1));
  return frame;
}

TEST(SerialSDPTransport, InitRefusesWhatIsNoTerminal) {
  char file[] = "/tmp/sdp_not_a_tty_XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  const struct {
    const char* name;
    const char* port;
  } cases[] = {
      {"regular file", file},
      {"missing path", "/nonexistent/ttyIMX"},
      {"empty path", ""},
      {"no path", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Serial_SDPLoader serial(c.port);
    EXPECT_FALSE(serial.init());
    Bytes reply;
    EXPECT_LT(serial.writeData(frameOf(1, 16)), 0);
    EXPECT_EQ(serial.readData(reply, 0), 0u);
  }
  unlink(file);
}

TEST_F(SerialOnPty, WritesFramesWithoutTheReportIdentifier) {
  // the port path is copied: the caller's text may go away once the loader is made
  std::string copy = path;
  Serial_SDPLoader serial(copy.c_str());
  copy.assign(copy.size(), 'x');
  ASSERT_TRUE(serial.init());
  const struct {
    const char* name;
    Bytes frame;
  } cases[] = {
      {"command", frameOf(1, 16)},
      {"data frame", frameOf(2, 1024)},
      {"last data frame", frameOf(2, 452)},
      {"report identifier only", Bytes{2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(serial.writeData(c.frame), static_cast<long>(c.frame.size() - 1));
    EXPECT_EQ(deviceReceives(c.frame.size() - 1), Bytes(c.frame.begin() + 1, c.frame.end()));
  }
  // nothing else went onto the line
  struct pollfd entry {master, POLLIN, 0};
  EXPECT_EQ(poll(&entry, 1, 50), 0);
}

TEST_F(SerialOnPty, ReadsWhatTheDeviceSends) {
  Serial_SDPLoader serial(path.c_str());
  ASSERT_TRUE(serial.init());
  const Bytes status = {0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0};

  // with a time-out: the whole reply, appended to what the buffer held
  deviceSends(status);
  Bytes reply{0xEE};
  EXPECT_EQ(serial.readData(reply, 100), status.size());
  Bytes expected{0xEE};
  expected.insert(expected.end(), status.begin(), status.end());
  EXPECT_EQ(reply, expected);

  // nothing sent: nothing read, with or without a time-out
  reply.clear();
  EXPECT_EQ(serial.readData(reply, 100), 0u);
  EXPECT_EQ(serial.readData(reply, 0), 0u);
  EXPECT_TRUE(reply.empty());

  // time-out 0 takes what waits without waiting for more; the pty hands bytes over
  // asynchronously, so look a few times
  deviceSends({0x12, 0x34, 0x56});
  auto deadline = Clock::now() + std::chrono::milliseconds(STEP_TIMEOUT_MS);
  while (reply.size() < 3 && Clock::now() < deadline) {
    serial.readData(reply, 0);
    usleep(1000);
  }
  EXPECT_EQ(reply, (Bytes{0x12, 0x34, 0x56}));
}

TEST_F(SerialOnPty, APortThatStopsTakingDataEndsTheWriteWithAnError) {
  Serial_SDPLoader serial(path.c_str());
  ASSERT_TRUE(serial.init());
  // Nobody reads the device end: the terminal's buffers fill and then take nothing more.
  Bytes frame = frameOf(2, 1024);
  long result = 0;
  int frames = 0;
  for (; frames < 1000 && result >= 0; ++frames) result = serial.writeData(frame);
  EXPECT_LT(result, 0) << "still writing after " << frames << " frames";
  EXPECT_GT(frames, 1);
  // the failure is not kept: once the device reads again, frames go through
  EXPECT_GT(drain(), 0u);
  EXPECT_EQ(serial.writeData(frame), 1024);
  EXPECT_EQ(deviceReceives(1024).size(), 1024u);
}

// What is still on its way when the port closes, behind 8 KiB the device has not read yet: the
// rest of a cut write is discarded, while a frame kept at close (the jump) and all before it
// still reach the device.
TEST_F(SerialOnPty, AtCloseOnlyKeptFramesStillReachTheDevice) {
  const size_t backlog = 8 * 1024;
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept" : "not kept");
    {
      Serial_SDPLoader serial(path.c_str());
      ASSERT_TRUE(serial.init());
      for (size_t sent = 0; sent < backlog; sent += 1024) ASSERT_EQ(serial.writeData(frameOf(2, 1024)), 1024);
      ASSERT_EQ(serial.writeData(frameOf(1, 16)), 16);
      if (keep) serial.keepWrittenAtClose();
    }
    if (keep) {
      EXPECT_EQ(drain(), backlog + 16);
    } else {
      EXPECT_LT(drain(), backlog);
    }
  }
}

TEST_F(SerialOnPty, DestructionClosesThePort) {
  {
    Serial_SDPLoader serial(path.c_str());
    ASSERT_TRUE(serial.init());
    ASSERT_EQ(serial.writeData(frameOf(1, 16)), 16);
    ASSERT_EQ(deviceReceives(16).size(), 16u);
  }
  // with the terminal end closed by everyone, the device end reads an I/O error
  unsigned char byte;
  errno = 0;
  EXPECT_EQ(read(master, &byte, 1), -1);
  EXPECT_EQ(errno, EIO);
}

}  // namespace
