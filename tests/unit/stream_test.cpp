// Stream core (push-back across a partial read, put for single bytes) and the serial transport on a
// pseudo-terminal pair.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "FdCapture.h"
#include "aStream.h"

namespace {

// A scripted transport: get hands out queued results; put and write record what was sent.
struct Script {
  std::deque<std::pair<aErr, uint8_t>> gets;
  std::vector<std::string> calls;
  std::string sent;
  int deletes = 0;
};

aErr scriptGet(uint8_t* out, void* ref) {
  Script* script = static_cast<Script*>(ref);
  if (script->gets.empty()) return aErrNotReady;
  auto next = script->gets.front();
  script->gets.pop_front();
  if (next.first == aErrNone) *out = next.second;
  return next.first;
}

aErr scriptPut(const uint8_t* byte, void* ref) {
  Script* script = static_cast<Script*>(ref);
  script->calls.push_back("put");
  script->sent += static_cast<char>(*byte);
  return aErrNone;
}

aErr scriptWrite(const uint8_t* data, size_t length, void* ref) {
  Script* script = static_cast<Script*>(ref);
  script->calls.push_back("write" + std::to_string(length));
  script->sent.append(reinterpret_cast<const char*>(data), length);
  return aErrNone;
}

aErr scriptDelete(void* ref) {
  ++static_cast<Script*>(ref)->deletes;
  return aErrNone;
}

void queueBytes(Script& script, const std::string& bytes) {
  for (char c : bytes) script.gets.push_back({aErrNone, static_cast<uint8_t>(c)});
}

class StreamCore : public ::testing::Test {
 protected:
  void SetUp() override {
    stream_ = aStream_Create(scriptGet, scriptPut, scriptWrite, scriptDelete, &script_);
    ASSERT_NE(stream_, nullptr);
  }
  void TearDown() override {
    if (stream_ != nullptr) {
      EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    }
  }
  Script script_;
  aStreamRef stream_ = nullptr;
};

TEST_F(StreamCore, PartialReadIsPushedBackInOrder) {
  queueBytes(script_, "ab");
  uint8_t buffer[4] = {'-', '-', '-', '-'};
  EXPECT_EQ(aStream_Read(stream_, buffer, 4), aErrNotReady);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "----") << "nothing copied on a partial read";
  queueBytes(script_, "cd");
  EXPECT_EQ(aStream_Read(stream_, buffer, 4), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "abcd");
}

TEST_F(StreamCore, RepeatedPartialReadsKeepOrder) {
  uint8_t buffer[6];
  queueBytes(script_, "1");
  EXPECT_EQ(aStream_Read(stream_, buffer, 6), aErrNotReady);
  queueBytes(script_, "23");
  EXPECT_EQ(aStream_Read(stream_, buffer, 6), aErrNotReady);
  queueBytes(script_, "456");
  EXPECT_EQ(aStream_Read(stream_, buffer, 2), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "12");
  EXPECT_EQ(aStream_Read(stream_, buffer, 4), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "3456");
}

TEST_F(StreamCore, PushBackGrowsBeyondOneStep) {
  std::string many;
  for (int i = 0; i < 1500; ++i) many += static_cast<char>('A' + i % 26);
  queueBytes(script_, many);
  std::vector<uint8_t> buffer(1600);
  EXPECT_EQ(aStream_Read(stream_, buffer.data(), buffer.size()), aErrNotReady);
  queueBytes(script_, std::string(100, '!'));
  EXPECT_EQ(aStream_Read(stream_, buffer.data(), buffer.size()), aErrNone);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 1500), many);
}

TEST_F(StreamCore, EndOfFileCopiesWhatArrived) {
  queueBytes(script_, "xy");
  script_.gets.push_back({aErrEOF, 0});
  uint8_t buffer[4] = {};
  EXPECT_EQ(aStream_Read(stream_, buffer, 4), aErrEOF);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(buffer[1], 'y');
}

TEST_F(StreamCore, OtherFailureCopiesNothingAndDropsBytes) {
  queueBytes(script_, "xy");
  script_.gets.push_back({aErrIO, 0});
  uint8_t buffer[4] = {};
  EXPECT_EQ(aStream_Read(stream_, buffer, 4), aErrIO);
  EXPECT_EQ(buffer[0], 0);
  queueBytes(script_, "z");
  EXPECT_EQ(aStream_Read(stream_, buffer, 1), aErrNone);
  EXPECT_EQ(buffer[0], 'z');
}

TEST_F(StreamCore, SingleByteUsesPutBlocksUseWrite) {
  const uint8_t one = 'k';
  const uint8_t block[] = {'b', 'l', 'o', 'c'};
  EXPECT_EQ(aStream_Write(stream_, &one, 1), aErrNone);
  EXPECT_EQ(aStream_Write(stream_, block, sizeof block), aErrNone);
  EXPECT_EQ(script_.calls, (std::vector<std::string>{"put", "write4"}));
  EXPECT_EQ(script_.sent, "kbloc");
}

TEST(StreamCoreRefusals, ModesAndHandles) {
  Script script;
  aStreamRef writeOnly = aStream_Create(nullptr, scriptPut, nullptr, nullptr, &script);
  ASSERT_NE(writeOnly, nullptr);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(writeOnly, &byte, 1), aErrMode);
  const uint8_t block[] = {'a', 'b'};
  EXPECT_EQ(aStream_Write(writeOnly, block, 2), aErrNone);  // byte by byte without write
  EXPECT_EQ(script.calls, (std::vector<std::string>{"put", "put"}));
  EXPECT_EQ(aStream_Destroy(&writeOnly), aErrNone);

  aStreamRef readOnly = aStream_Create(scriptGet, nullptr, nullptr, nullptr, &script);
  ASSERT_NE(readOnly, nullptr);
  EXPECT_EQ(aStream_Write(readOnly, block, 2), aErrMode);
  EXPECT_EQ(aStream_Read(readOnly, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Write(readOnly, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Destroy(&readOnly), aErrNone);
  EXPECT_EQ(readOnly, nullptr);
  EXPECT_EQ(aStream_Destroy(&readOnly), aErrParam);
  EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
  EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
}

TEST(StreamCoreRefusals, DestroyCallsDeleteOnce) {
  Script script;
  aStreamRef stream = aStream_Create(scriptGet, scriptPut, scriptWrite, scriptDelete, &script);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(script.deletes, 1);
}

// Linux pseudo-terminals force 8 data bits without parity; only where the terminal keeps them can
// those two settings be seen from outside.
bool terminalKeepsCharacterFormat(int fd) {
  struct termios original, probe, seen;
  if (tcgetattr(fd, &original) != 0) return false;
  probe = original;
  probe.c_cflag = (probe.c_cflag & ~CSIZE) | CS7 | PARENB;
  bool kept = tcsetattr(fd, TCSANOW, &probe) == 0 && tcgetattr(fd, &seen) == 0 && (seen.c_cflag & CSIZE) == CS7 &&
              (seen.c_cflag & PARENB) != 0;
  tcsetattr(fd, TCSANOW, &original);
  return kept;
}

TEST(SerialStream, OpensPseudoTerminalWithConfiguredAttributes) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  const bool keepsCharacterFormat = terminalKeepsCharacterFormat(terminal.slave());
  const struct {
    int baudIndex;
    bool parity;
    unsigned bits;
    unsigned stopBits;
    speed_t speed;
  } cases[] = {
      {6, false, aSerialBits8, aSerialStopBits1, B115200},
      {0, true, aSerialBits7, aSerialStopBits2, B2400},
      {7, false, aSerialBits8, aSerialStopBits2, B230400},
  };
  for (const auto& c : cases) {
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(terminal.slaveName().c_str(), c.baudIndex, c.parity, c.bits, c.stopBits, &stream),
              aErrNone);
    ASSERT_NE(stream, nullptr);
    // Read the port's attributes through a descriptor of our own.
    struct termios seen;
    ASSERT_EQ(tcgetattr(terminal.slave(), &seen), 0);
    EXPECT_EQ(cfgetispeed(&seen), c.speed);
    EXPECT_EQ(cfgetospeed(&seen), c.speed);
    if (keepsCharacterFormat) {
      EXPECT_EQ(seen.c_cflag & CSIZE, c.bits == aSerialBits7 ? static_cast<tcflag_t>(CS7) : static_cast<tcflag_t>(CS8));
      EXPECT_EQ((seen.c_cflag & PARENB) != 0, c.parity);
    }
    EXPECT_EQ(seen.c_cflag & PARODD, 0u) << "even parity";
    EXPECT_EQ((seen.c_cflag & CSTOPB) != 0, c.stopBits == aSerialStopBits2);
    EXPECT_NE(seen.c_cflag & CLOCAL, 0u);
    EXPECT_NE(seen.c_cflag & CREAD, 0u);
    EXPECT_NE(seen.c_iflag & IGNBRK, 0u);
    EXPECT_EQ((seen.c_iflag & IGNPAR) != 0, c.parity);
    EXPECT_EQ(seen.c_iflag & (ICRNL | IXON | INLCR), 0u);
    EXPECT_EQ(seen.c_oflag, 0u);
    EXPECT_EQ(seen.c_lflag, 0u);
    EXPECT_EQ(seen.c_cc[VMIN], 0);
    EXPECT_EQ(seen.c_cc[VTIME], 0);

    // Bytes both ways; a read returns at once when nothing is there.
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    const uint8_t out[] = {'\r', '\n', 0x00, 0xFF};
    ASSERT_EQ(aStream_Write(stream, out, sizeof out), aErrNone);
    EXPECT_EQ(terminal.readMaster(sizeof out), std::string("\r\n\x00\xff", 4));
    ASSERT_EQ(write(terminal.master(), "\x11q", 2), 2);
    uint8_t in[2] = {};
    for (int tries = 0; tries < 200 && aStream_Read(stream, in, 2) == aErrNotReady; ++tries) usleep(5000);
    EXPECT_EQ(in[0], 0x11);
    EXPECT_EQ(in[1], 'q');
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  }
}

TEST(SerialStream, Refusals) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  struct termios before;
  ASSERT_EQ(tcgetattr(terminal.slave(), &before), 0);
  aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateSerial(terminal.slaveName().c_str(), 6, false, aSerialBits8, 2, &stream), aErrParam);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSerial(terminal.slaveName().c_str(), 6, false, 2, aSerialStopBits1, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, aSerialBits8, aSerialStopBits1, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial(terminal.slaveName().c_str(), 6, false, aSerialBits8, aSerialStopBits1, nullptr),
            aErrParam);
  EXPECT_EQ(aStream_CreateSerial(terminal.slaveName().c_str(), 8, false, aSerialBits8, aSerialStopBits1, &stream),
            aErrParam);
  struct termios after;
  ASSERT_EQ(tcgetattr(terminal.slave(), &after), 0);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << "a refused open must not touch the port";
  EXPECT_EQ(aStream_CreateSerial("/dev/no-such-serial-port", 6, false, aSerialBits8, aSerialStopBits1, &stream),
            aErrNotFound);
  EXPECT_EQ(stream, nullptr);
}

// The rate moves on the open port (nothing closes it, so nothing drops DTR), the rest of the
// settings stay, the bytes still flow; a stream that is no serial port and an index out of range
// are refused.
TEST(SerialStream, RateChangesInPlace) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(terminal.slaveName().c_str(), 6, false, aSerialBits8, aSerialStopBits1, &stream),
            aErrNone);
  struct termios before;
  ASSERT_EQ(tcgetattr(terminal.slave(), &before), 0);
  const struct {
    int baudIndex;
    speed_t speed;
  } cases[] = {{5, B57600}, {7, B230400}, {6, B115200}};
  for (const auto& c : cases) {
    ASSERT_EQ(aSerial_SetRate(stream, c.baudIndex), aErrNone) << c.baudIndex;
    struct termios seen;
    ASSERT_EQ(tcgetattr(terminal.slave(), &seen), 0);
    EXPECT_EQ(cfgetispeed(&seen), c.speed);
    EXPECT_EQ(cfgetospeed(&seen), c.speed);
    EXPECT_EQ(seen.c_cflag & ~CBAUD, before.c_cflag & ~CBAUD);
    EXPECT_EQ(seen.c_iflag, before.c_iflag);
    const uint8_t out[] = {'?'};
    ASSERT_EQ(aStream_Write(stream, out, sizeof out), aErrNone);
    EXPECT_EQ(terminal.readMaster(sizeof out), "?");
  }
  EXPECT_EQ(aSerial_SetRate(stream, kSerialBaudCount), aErrParam);
  EXPECT_EQ(aSerial_SetRate(stream, -1), aErrParam);
  EXPECT_EQ(aSerial_SetRate(nullptr, 6), aErrParam);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);

  char path[] = "/tmp/rate_in_place_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  aStreamRef file = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path, &file), aErrNone);
  EXPECT_EQ(aSerial_SetRate(file, 6), aErrParam);
  EXPECT_EQ(aSerial_KeepModemLinesAtClose(file), aErrParam);
  EXPECT_EQ(aStream_Destroy(&file), aErrNone);
  unlink(path);
}

TEST(SerialStream, AttributesRestoredOnDestroy) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  struct termios before;
  ASSERT_EQ(tcgetattr(terminal.slave(), &before), 0);
  cfsetospeed(&before, B9600);
  cfsetispeed(&before, B9600);
  ASSERT_EQ(tcsetattr(terminal.slave(), TCSANOW, &before), 0);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(terminal.slaveName().c_str(), 7, false, aSerialBits8, aSerialStopBits1, &stream),
            aErrNone);
  struct termios during;
  ASSERT_EQ(tcgetattr(terminal.slave(), &during), 0);
  EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B230400));
  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
  struct termios after;
  ASSERT_EQ(tcgetattr(terminal.slave(), &after), 0);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
}

// A port found with HUPCL on: put back as it was found, except that a stream told to keep the
// modem lines clears HUPCL, so that its close does not drop DTR. A plain stream keeps HUPCL.
TEST(SerialStream, ModemLinesKeptAtCloseOnlyWhenAsked) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  struct termios found;
  ASSERT_EQ(tcgetattr(terminal.slave(), &found), 0);
  found.c_cflag |= HUPCL;
  cfsetospeed(&found, B9600);
  cfsetispeed(&found, B9600);
  ASSERT_EQ(tcsetattr(terminal.slave(), TCSANOW, &found), 0);
  ASSERT_EQ(tcgetattr(terminal.slave(), &found), 0);
  ASSERT_NE(found.c_cflag & HUPCL, 0u) << "this terminal does not keep HUPCL";
  for (const bool keep : {false, true}) {
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(terminal.slaveName().c_str(), 6, false, aSerialBits8, aSerialStopBits1, &stream),
              aErrNone);
    struct termios during;
    ASSERT_EQ(tcgetattr(terminal.slave(), &during), 0);
    EXPECT_EQ(during.c_cflag & HUPCL, 0u);
    if (keep) {
      EXPECT_EQ(aSerial_KeepModemLinesAtClose(stream), aErrNone);
    }
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    struct termios after;
    ASSERT_EQ(tcgetattr(terminal.slave(), &after), 0);
    EXPECT_EQ(after.c_cflag & HUPCL, keep ? 0u : static_cast<tcflag_t>(HUPCL)) << keep;
    EXPECT_EQ(after.c_cflag & ~static_cast<tcflag_t>(HUPCL), found.c_cflag & ~static_cast<tcflag_t>(HUPCL)) << keep;
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600)) << keep;
    ASSERT_EQ(tcsetattr(terminal.slave(), TCSANOW, &found), 0);
  }
  EXPECT_EQ(aSerial_KeepModemLinesAtClose(nullptr), aErrParam);
}

TEST(SerialStream, BaudTable) {
  const unsigned rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(aSerial_BaudRate(i), rates[i]);
    EXPECT_EQ(aSerial_BaudIndex(rates[i]), i);
  }
  EXPECT_EQ(aSerial_BaudRate(8), 0u);
  EXPECT_EQ(aSerial_BaudRate(-1), 0u);
  EXPECT_EQ(aSerial_BaudIndex(1200), -1);
}

}  // namespace
