// NXPSerialClass and its wire (LpcIspWire): the static helpers as tables, the transfer primitives
// against a scripted peer on a pseudo-terminal (exact bytes on the wire), and the commands against
// the simulated LPC17xx boot ROM (sim/lpc_rom.py), whose uudecoding, checksums and flash rules
// were checked against independent ISP tools.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Log.h"
#include "LpcRomSim.h"
#include "aTime.h"
#include "log_capture.h"
#include "recovery/lpc/LpcIspWire.h"
#include "recovery/lpc/NXPSerialClass.h"

using lpcsim::LpcRomSim;

namespace {

std::vector<unsigned char> randomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<unsigned char> data(size);
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(generator());
  return data;
}

unsigned int byteSum(const unsigned char* data, size_t size) {
  unsigned int total = 0;
  for (size_t i = 0; i < size; ++i) total += data[i];
  return total;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// What the host sends for a W command of count bytes at address: the command, the uuencoded
// lines and one checksum line after every 20 lines and after the last.
size_t writeTrafficBytes(unsigned int address, const std::vector<unsigned char>& data) {
  size_t total = std::string("W " + std::to_string(address) + " " + std::to_string(data.size()) + "\r\n").size();
  size_t groupStart = 0;
  unsigned int lines = 0;
  for (size_t at = 0; at < data.size();) {
    size_t piece = std::min<size_t>(45, data.size() - at);
    total += 1 + 4 * ((piece + 2) / 3) + 2;
    at += piece;
    if (++lines == 20 || at == data.size()) {
      total += std::to_string(byteSum(data.data() + groupStart, at - groupStart)).size() + 2;
      groupStart = at;
      lines = 0;
    }
  }
  return total;
}

// ---------------------------------------------------------------------------------------------
// Static helpers

TEST(NXPSerialHelpers, CopyLengthRoundsUpToAPermittedSize) {
  const struct {
    unsigned int n, expected;
  } cases[] = {{0, 256}, {1, 256}, {256, 256}, {257, 512}, {512, 512}, {513, 1024},
               {1024, 1024}, {1025, 4096}, {4096, 4096}, {4097, 4097}, {5000, 5000}};
  for (const auto& c : cases) EXPECT_EQ(NXPSerialClass::CopyLength(c.n), c.expected) << c.n;
}

TEST(NXPSerialHelpers, SectorFromAddressFollowsTheSectorTable) {
  const struct {
    unsigned int address, sector;
  } cases[] = {{0x0, 0},       {0x0FFF, 0},     {0x1000, 1},     {0xFFFF, 15},    {0x10000, 16},
               {0x17FFF, 16},  {0x18000, 17},   {0x78000, 29},   {0x7FFFF, 29},   {0x80000, 30},
               {0x10001000, 30}, {0xFFFFFFFF, 30}};
  for (const auto& c : cases) EXPECT_EQ(NXPSerialClass::SectorFromAddress(c.address), c.sector) << std::hex << c.address;
}

TEST(NXPSerialHelpers, SectorTableCoversHalfAMegabyteWithoutGaps) {
  unsigned int next = 0;
  unsigned int n = 0;
  for (; NXP_LPC17XX_sectors[n].size != 0; ++n) {
    EXPECT_EQ(NXP_LPC17XX_sectors[n].start, next) << n;
    EXPECT_EQ(NXP_LPC17XX_sectors[n].number, n);
    EXPECT_EQ(NXP_LPC17XX_sectors[n].size, n < 16 ? 0x1000u : 0x8000u) << n;
    next += NXP_LPC17XX_sectors[n].size;
  }
  EXPECT_EQ(n, 30u);
  EXPECT_EQ(next, 0x80000u);
  EXPECT_EQ(NXP_LPC17XX_sectors[n].start, 0xFFFFFFFFu);
  EXPECT_EQ(NXP_LPC17XX_sectors[n].number, 30u);
}

TEST(NXPSerialHelpers, GetErrorTextNamesReturnCodes) {
  const struct {
    const char* line;
    const char* text;
  } cases[] = {{"0\r\n", "CMD_SUCCESS"},
               {"9\r\n", "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"},
               {"19", "CODE_READ_PROTECTION_ENABLED"},
               {"0x0F", "CMD_LOCKED"},
               {"017", "CMD_LOCKED"},
               {"20", "Unknown error"},
               {"21\r\n", "Unknown error"},
               {"-1", "Unknown error"},
               {nullptr, "Unknown error"}};
  for (const auto& c : cases) {
    EXPECT_STREQ(NXPSerialClass::GetErrorText(c.line), c.text) << (c.line ? c.line : "(null)");
  }
}

TEST(NXPSerialHelpers, SumAddsBytesUnsigned) {
  const unsigned char bytes[] = {0xFF, 0xFF, 0x01, 0x80};
  EXPECT_EQ(LpcIspWire::sum(bytes, 0), 0u);
  EXPECT_EQ(LpcIspWire::sum(bytes, 4), 0x27Fu);
  std::vector<unsigned char> group(900, 0xFF);
  EXPECT_EQ(LpcIspWire::sum(group.data(), 900), 229500u);
}

TEST(NXPSerialHelpers, UucharUsesTheGraveAccentForZero) {
  const struct {
    unsigned int v;
    int c;
  } cases[] = {{0, '`'}, {1, '!'}, {32, '@'}, {63, '_'}, {64, '`'}, {0x41, '!'}};
  for (const auto& c : cases) EXPECT_EQ(LpcIspWire::uuchar(c.v), c.c) << c.v;
}

TEST(NXPSerialHelpers, UuencodeMatchesTheStandardEncoding) {
  std::vector<unsigned char> counting(45);
  for (unsigned i = 0; i < 45; ++i) counting[i] = static_cast<unsigned char>(i);
  const struct {
    std::vector<unsigned char> data;
    const char* line;
  } cases[] = {
      {{0, 0, 0}, "#````"},
      {{'C', 'a', 't'}, "#0V%T"},
      {{0xDE, 0xAD, 0xBE, 0xEF}, "$WJV^[P``"},
      {{0xFF}, "!_P``"},
      {counting, "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL"},
  };
  for (const auto& c : cases) {
    char out[LpcIspWire::UU_LINE_CAPACITY];
    memset(out, 'x', sizeof out);
    unsigned int n = static_cast<unsigned int>(c.data.size());
    EXPECT_EQ(LpcIspWire::uuencode(out, c.data.data(), n), n);
    EXPECT_STREQ(out, c.line);
    EXPECT_EQ(strlen(out), 1 + 4 * ((n + 2) / 3));
  }
  char out[LpcIspWire::UU_LINE_CAPACITY];
  LpcIspWire::uuencode(out, counting.data(), 45);
  EXPECT_EQ(strlen(out), 61u);
  EXPECT_EQ(out[0], 'M');
}

TEST(NXPSerialHelpers, UuencodeNeverWritesPastTheLineCapacity) {
  std::vector<unsigned char> data(200, 0xA5);
  char out[LpcIspWire::UU_LINE_CAPACITY + 1];
  out[LpcIspWire::UU_LINE_CAPACITY] = '#';
  EXPECT_EQ(LpcIspWire::uuencode(out, data.data(), 200), LpcIspWire::UU_MAX_LINE_BYTES);
  EXPECT_EQ(out[LpcIspWire::UU_LINE_CAPACITY], '#');
  EXPECT_EQ(strlen(out), 1 + 4 * 21u);
}

TEST(NXPSerialHelpers, UudecodeInvertsUuencode) {
  for (unsigned int n : {1u, 2u, 3u, 4u, 44u, 45u}) {
    std::vector<unsigned char> data = randomBytes(n, n);
    char line[LpcIspWire::UU_LINE_CAPACITY];
    LpcIspWire::uuencode(line, data.data(), n);
    std::vector<unsigned char> back(n + 4, 0xEE);
    EXPECT_EQ(LpcIspWire::uudecode(back.data(), n, line), n);
    EXPECT_EQ(std::vector<unsigned char>(back.begin(), back.begin() + n), data) << n;
    EXPECT_EQ(back[n], 0xEE) << "stored past the count for " << n;
  }
}

TEST(NXPSerialHelpers, UudecodeRefusesMoreThanRemainsAndZeroFillsShortLines) {
  std::vector<unsigned char> data = randomBytes(45, 7);
  char line[LpcIspWire::UU_LINE_CAPACITY];
  LpcIspWire::uuencode(line, data.data(), 45);
  std::vector<unsigned char> out(45, 0xEE);
  EXPECT_EQ(LpcIspWire::uudecode(out.data(), 40, line), 0u);
  EXPECT_EQ(out, std::vector<unsigned char>(45, 0xEE));

  // "$" announces 4 bytes; one group is there, the second is missing and decodes as zero.
  unsigned char short_out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(LpcIspWire::uudecode(short_out, 4, "$WJV^"), 4u);
  const unsigned char expected[4] = {0xDE, 0xAD, 0xBE, 0x00};
  EXPECT_EQ(memcmp(short_out, expected, 4), 0);
}

TEST(NXPSerialHelpers, UudecodeOfAnEmptyLineReadsNothingPastIt) {
  // The terminator as count character announces 32 bytes, all missing. A line held in a buffer of
  // exactly its size shows a read past it in the sanitizer build.
  std::unique_ptr<char[]> empty(new char[1]{'\0'});
  std::vector<unsigned char> out(32, 0xEE);
  EXPECT_EQ(LpcIspWire::uudecode(out.data(), 32, empty.get()), 32u);
  EXPECT_EQ(out, std::vector<unsigned char>(32, 0));
}

TEST(NXPSerialHelpers, WaitsFollowTheBaudRate) {
  EXPECT_EQ(LpcIspWire::WaitTimeMs(14, 115200), 2u);
  EXPECT_EQ(LpcIspWire::WaitTimeMs(4, 9600), 6u);
  EXPECT_EQ(LpcIspWire::WaitTimeMs(0, 2400), 8u);
  EXPECT_EQ(LpcIspWire::SendWaitMs(61, 115200), 5u);
  EXPECT_EQ(LpcIspWire::SendWaitMs(2, 115200), 1u);
  EXPECT_EQ(LpcIspWire::SendWaitMs(61, 9600), 60u);
}

TEST(NXPSerialHelpers, ReturnCodeWaitsCoverTheSlowestFlashWithAMargin) {
  // 105 ms a sector, 1.05 ms per 256 bytes, a quarter on top, plus 1000 ms for the line.
  EXPECT_EQ(NXPSerialClass::EraseWaitMs(0, 0), 1000u + 131u);
  EXPECT_EQ(NXPSerialClass::EraseWaitMs(0, 29), 1000u + 3937u);
  EXPECT_EQ(NXPSerialClass::EraseWaitMs(16, 29), 1000u + 1837u);
  EXPECT_EQ(NXPSerialClass::CopyWaitMs(256), 1000u + 2u);
  EXPECT_EQ(NXPSerialClass::CopyWaitMs(4096), 1000u + 21u);
}

TEST(NXPSerialHelpers, ConnectRateRoundsUpToAnAcceptedRate) {
  const struct {
    unsigned int requested, rate;
  } cases[] = {{0, 2400},         {2400, 2400},     {2401, 4800},   {9601, 19200},
               {100000, 115200},  {115200, 115200}, {230400, 230400}, {230401, 9600}, {1000000, 9600}};
  for (const auto& c : cases) EXPECT_EQ(NXPSerialClass::ConnectRate(c.requested), c.rate) << c.requested;
}

TEST(NXPSerialHelpers, ReturnCodePositionDependsOnEcho) {
  EXPECT_EQ(NXPSerialClass::ErrorIndexFor(3, false), 0u);
  EXPECT_EQ(NXPSerialClass::ErrorIndexFor(4, false), 0u);
  EXPECT_EQ(NXPSerialClass::ErrorIndexFor(3, true), 0u);
  EXPECT_EQ(NXPSerialClass::ErrorIndexFor(4, true), 1u);
  EXPECT_EQ(NXPSerialClass::ErrorIndexFor(2, true), 0u);
  const struct {
    const char* line;
    bool echo;
    bool success;
  } cases[] = {
      {"0\r\n", false, true},  {"19\r\n", false, false}, {"1\r\n", false, false},
      {"0\r\n", true, true},   {"9\r\n", true, false},   {"15\r\n", true, false},
      {"10\r\n", true, false},  // COMPARE_ERROR: its last digit is 0, the code is not
      {"", false, false},      {"", true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NXPSerialClass::IsSuccessLine(c.line, strlen(c.line), c.echo), c.success)
        << "line [" << c.line << "] echo " << c.echo;
  }
}

// ---------------------------------------------------------------------------------------------
// A scripted chip on a pseudo-terminal: the test writes what the chip says and reads back exactly
// what the client sent.

class PtyPeer {
 public:
  PtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    path_ = name;
    // Kept open so that the client closing its port does not hang up the pair.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios raw;
    if (slave_ >= 0 && tcgetattr(slave_, &raw) == 0) {
      cfmakeraw(&raw);
      tcsetattr(slave_, TCSANOW, &raw);
    }
  }
  ~PtyPeer() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool ready() const { return slave_ >= 0; }
  const std::string& path() const { return path_; }

  bool chipSends(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Everything the client wrote, read until nothing more comes for quietMs.
  std::string hostSent(int quietMs = 50) {
    std::string sent;
    char buffer[4096];
    struct pollfd waiting = {master_, POLLIN, 0};
    while (poll(&waiting, 1, quietMs) > 0) {
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      sent.append(buffer, static_cast<size_t>(n));
    }
    return sent;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

class NXPSerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.ready());
    ASSERT_EQ(client.Connect(peer.path().c_str(), 115200), aErrNone);
  }

  // The chip echoes "A 0" and answers success; afterwards the client reads no echoes.
  void echoOff() {
    ASSERT_TRUE(peer.chipSends("A 0\r\n0\r\n"));
    ASSERT_EQ(client.SetEcho(false), aErrNone);
    ASSERT_FALSE(client.Echo());
    ASSERT_EQ(peer.hostSent(), "A 0\r\n");
  }

  PtyPeer peer;
  NXPSerialClass client;
};

TEST_F(NXPSerialPty, ConnectRoundsTheRateAndReportsAMissingPort) {
  EXPECT_EQ(client.Baud(), 115200u);
  ASSERT_EQ(client.Connect(peer.path().c_str(), 1000000), aErrNone);
  EXPECT_EQ(client.Baud(), 9600u);
  ASSERT_EQ(client.Connect(peer.path().c_str(), 2400), aErrNone);
  EXPECT_EQ(client.Baud(), 2400u);
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.Connect("/nonexistent/ttyLPC", 115200), aErrNotFound);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.Unlock(), aErrConnection);
}

TEST_F(NXPSerialPty, WriteOf900BytesSendsOneChecksumAnd904ASecondForTheLastFour) {
  echoOff();
  for (unsigned int count : {900u, 904u}) {
    SCOPED_TRACE(count);
    std::vector<unsigned char> data = randomBytes(count, count);
    ASSERT_TRUE(peer.chipSends(count == 900 ? "0\r\nOK\r\n" : "0\r\nOK\r\nOK\r\n"));
    ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, count, data.data()), aErrNone);
    std::vector<std::string> lines = splitLines(peer.hostSent());
    ASSERT_EQ(lines.size(), count == 900 ? 22u : 24u);
    EXPECT_EQ(lines[0], "W 268439552 " + std::to_string(count));
    for (size_t i = 1; i <= 20; ++i) {
      EXPECT_EQ(lines[i].size(), 61u) << i;
      EXPECT_EQ(lines[i][0], 'M') << i;
    }
    EXPECT_EQ(lines[21], std::to_string(byteSum(data.data(), 900)));
    if (count == 904) {
      char last[LpcIspWire::UU_LINE_CAPACITY];
      LpcIspWire::uuencode(last, data.data() + 900, 4);
      EXPECT_EQ(lines[22], last);
      EXPECT_EQ(lines[22].size(), 9u);
      EXPECT_EQ(lines[23], std::to_string(byteSum(data.data() + 900, 4)));
    }
  }
}

TEST_F(NXPSerialPty, WriteResendsTheLinesSinceTheLastAcknowledgement) {
  echoOff();
  std::vector<unsigned char> data = randomBytes(904, 3);
  ASSERT_TRUE(peer.chipSends("0\r\nOK\r\nRESEND\r\nOK\r\n"));
  ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 904, data.data()), aErrNone);
  std::vector<std::string> lines = splitLines(peer.hostSent());
  ASSERT_EQ(lines.size(), 26u);
  EXPECT_EQ(lines[22], lines[24]);  // the 4-byte line again
  EXPECT_EQ(lines[23], lines[25]);
  EXPECT_EQ(lines[25], std::to_string(byteSum(data.data() + 900, 4)));
}

TEST_F(NXPSerialPty, CommandsThatFailTheirChecksSendNothing) {
  echoOff();
  std::vector<unsigned char> data(4096, 0x11);
  EXPECT_EQ(client.Prepare(5, 4), aErrParam);
  EXPECT_EQ(client.Erase(2, 1), aErrParam);
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 0, data.data()), aErrParam);
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 6, data.data()), aErrParam);
  const struct {
    unsigned int flash, length;
  } copies[] = {{0x80, 256}, {0x1001, 4096}, {0, 0}, {0, 100}, {0, 2048}, {0, 8192}, {0x100, 257}};
  for (const auto& c : copies) {
    EXPECT_EQ(client.CopyToFlash(c.flash, NXPSerialClass::WRITE_ADDRESS, c.length), aErrParam)
        << c.flash << " " << c.length;
  }
  EXPECT_EQ(peer.hostSent(), "");
}

// The wire alone on the same scripted peer: line, echo and answer reading and the dumps.
class LpcIspWirePty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.ready());
    ASSERT_EQ(wire.Open(peer.path().c_str(), 115200), aErrNone);
  }

  PtyPeer peer;
  LpcIspWire wire;
};

TEST_F(LpcIspWirePty, GetLineSkipsALeadingLineFeedAndMatchesTheTerminatorNaively) {
  const struct {
    const char* chip;
    unsigned long size;
    const char* line;
    aErr result;
  } cases[] = {
      {"\nOK\r\n", 64, "OK\r\n", aErrNone},
      {"A\r\r\nB\r\n", 64, "A\r\r\nB\r\n", aErrNone},  // CR CR LF does not end the line
      {"ABCDEF", 4, "ABC", aErrNone},
      {"AB", 64, "AB", aErrNotReady},
      {"", 64, "", aErrNotReady},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chip);
    ASSERT_EQ(wire.Open(peer.path().c_str(), 115200), aErrNone);  // flushes what is left
    ASSERT_TRUE(peer.chipSends(c.chip));
    char buffer[64];
    unsigned long length = 99;
    EXPECT_EQ(wire.GetLine(buffer, c.size, &length, 20), c.result);
    EXPECT_STREQ(buffer, c.line);
    EXPECT_EQ(length, strlen(c.line));
  }
}

// A host kept from running until after the wait's end still reads the answer that came in time.
TEST_F(LpcIspWirePty, ALineThatCameInTimeIsReadWhenNoWaitIsLeft) {
  ASSERT_TRUE(peer.chipSends("0\r\n"));
  char buffer[64];
  unsigned long length = 0;
  EXPECT_EQ(wire.GetLine(buffer, sizeof buffer, &length, 0), aErrNone);
  EXPECT_STREQ(buffer, "0\r\n");
  EXPECT_EQ(wire.GetLine(buffer, sizeof buffer, &length, 0), aErrNotReady);
  EXPECT_EQ(length, 0u);
}

TEST_F(LpcIspWirePty, GetEchoDropsStrayBytesButNotWithoutBound) {
  unsigned long matched = 99;
  ASSERT_TRUE(peer.chipSends("xyP 0"));
  EXPECT_EQ(wire.GetEcho("P 0 1", 3, &matched), aErrNone);
  EXPECT_EQ(matched, 3u);

  ASSERT_EQ(wire.Open(peer.path().c_str(), 115200), aErrNone);
  ASSERT_TRUE(peer.chipSends(std::string(3000, 'x') + "abc"));
  EXPECT_EQ(wire.GetEcho("abc", 3, &matched), aErrOverrun);
  EXPECT_EQ(matched, 0u);
}

TEST_F(LpcIspWirePty, ResponseSkipsLeadingLineEndsButNotWithoutBound) {
  char buffer[64];
  unsigned long length = 0;
  ASSERT_TRUE(peer.chipSends(std::string("\r\n\0", 3) + "OK\r\n"));
  EXPECT_EQ(wire.Response(buffer, sizeof buffer, &length, "OK\r\n", 4), aErrNone);
  EXPECT_STREQ(buffer, "OK\r\n");

  ASSERT_TRUE(peer.chipSends("Synchronized\r\n"));
  EXPECT_EQ(wire.Response(buffer, sizeof buffer, &length, "Synchronized\r\n", 13), aErrNone);
  EXPECT_STREQ(buffer, "Synchronized\r");

  ASSERT_EQ(wire.Open(peer.path().c_str(), 115200), aErrNone);
  std::string endless;
  for (int i = 0; i < 1000; ++i) endless += "\r\n";
  ASSERT_TRUE(peer.chipSends(endless + "OK\r\n"));
  EXPECT_EQ(wire.Response(buffer, sizeof buffer, &length, "OK\r\n", 4), aErrOverrun);
  EXPECT_EQ(length, 0u);
}

TEST_F(NXPSerialPty, GetDeviceIdFailsWhenTheWordsDoNotCome) {
  echoOff();
  ASSERT_TRUE(peer.chipSends("0\r\n1\r\n2\r\n"));
  EXPECT_EQ(client.GetDeviceID(), aErrNotReady);
  EXPECT_EQ(client.DeviceID()[0], 0u);
  ASSERT_TRUE(peer.chipSends("0\r\n0x10\r\n010\r\n10\r\n4294967295\r\n"));
  EXPECT_EQ(client.GetDeviceID(), aErrNone);
  const uint32_t expected[4] = {16, 8, 10, 0xFFFFFFFF};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(client.DeviceID()[i], expected[i]) << i;
}

TEST_F(LpcIspWirePty, DumpsShowEveryTextSentAndReceived) {
  LogCapture log(DEBUG_NXPSerial_SR);
  ASSERT_EQ(wire.Send("A\r\n", false), aErrNone);
  ASSERT_EQ(wire.SendCommand("P 0\t1\r\n", 0, true), aErrNone);
  ASSERT_TRUE(peer.chipSends("OK\r\n"));
  char buffer[64];
  unsigned long length = 0;
  ASSERT_EQ(wire.Response(buffer, sizeof buffer, &length, "OK\r\n", 4), aErrNone);
  ASSERT_TRUE(peer.chipSends("0\x01\r\n"));
  ASSERT_EQ(wire.GetLine(buffer, sizeof buffer, &length, 100), aErrNone);
  std::string text = log.text();
  EXPECT_NE(text.find("Sending:[41 0D 0A] [A\\r\\n]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Sending:[50 20 30 09 31 0D 0A] [P 0 1  ]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Response: [4F 4B 0D 0A] [OK\\r\\n]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("GetLine() Received: [30 01 0D 0A] [0   ] 4 term [aErrNone]\n"), std::string::npos) << text;
}

// ---------------------------------------------------------------------------------------------
// The simulated boot ROM

class NXPSerialSim : public ::testing::Test {
 protected:
  void start(const std::vector<std::string>& options = {}, unsigned int baud = 115200) {
    sim = std::make_unique<LpcRomSim>(options);
    ASSERT_TRUE(sim->running()) << sim->readyLine();
    ASSERT_EQ(client.Connect(sim->port().c_str(), baud), aErrNone);
  }
  void startSynchronised(const std::vector<std::string>& options = {}, unsigned int baud = 115200) {
    ASSERT_NO_FATAL_FAILURE(start(options, baud));
    ASSERT_EQ(client.Sync(), aErrNone);
  }
  long long bytesIn() const { return sim->status("bytes_in"); }

  // Reads RAM back through the chip's R command.
  std::vector<unsigned char> readBack(unsigned int address, unsigned int count) {
    std::vector<unsigned char> data(count);
    EXPECT_EQ(client.Read(address, count, data.data()), aErrNone);
    return data;
  }

  std::unique_ptr<LpcRomSim> sim;  // outlives the client, which closes the port first
  NXPSerialClass client;
};

TEST_F(NXPSerialSim, SyncAndDeviceIdGiveTheFourSerialWords) {
  ASSERT_NO_FATAL_FAILURE(
      startSynchronised({"--serial", "0x01234567", "0x89ABCDEF", "0xDEADBEEF", "0x00C0FFEE"}));
  EXPECT_TRUE(client.Echo());
  ASSERT_EQ(client.GetDeviceID(), aErrNone);
  const uint32_t expected[4] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x00C0FFEE};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(client.DeviceID()[i], expected[i]) << i;

  unsigned char major = 0, minor = 0;
  ASSERT_EQ(client.GetBootLoaderVersion(&major, &minor), aErrNone);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 1);
  long part = 0;
  ASSERT_EQ(client.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, 0x26013F37);

  ASSERT_EQ(client.SetEcho(false), aErrNone);
  ASSERT_EQ(sim->ok("serial 1 2 3 4"), true);
  ASSERT_EQ(client.GetDeviceID(), aErrNone);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(client.DeviceID()[i], static_cast<uint32_t>(i + 1)) << i;
  EXPECT_EQ(sim->status("echo"), 0);
}

TEST_F(NXPSerialSim, ChipThatNeverAnswersMakesOneSyncAttemptFail) {
  ASSERT_NO_FATAL_FAILURE(start({"--fault", "mute on"}));
  EXPECT_EQ(client.Sync(), aErrNotReady);
  EXPECT_EQ(bytesIn(), 1);  // the single "?"
}

TEST_F(NXPSerialSim, EraseAndCopyWaitAsLongAsTheFlashTakes) {
  // With the slowest datasheet times the erase of all sectors answers after 3.15 s.
  ASSERT_NO_FATAL_FAILURE(startSynchronised({"--timing", "slowest"}));
  ASSERT_EQ(client.Unlock(), aErrNone);
  ASSERT_EQ(client.Prepare(0, 29), aErrNone);
  ASSERT_EQ(client.Erase(0, 29), aErrNone);
  EXPECT_EQ(client.LastReply(), NXPSerialClass::Reply::Success);
  std::vector<unsigned char> data(4096, 0x5A);
  ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), aErrNone);
  ASSERT_EQ(client.Prepare(1, 1), aErrNone);
  ASSERT_EQ(client.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
}

TEST_F(NXPSerialSim, AnEraseThatIsNeverConfirmedEndsAtItsBound) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised({"--fault", "fail E none"}));
  ASSERT_EQ(client.Unlock(), aErrNone);
  ASSERT_EQ(client.Prepare(0, 1), aErrNone);
  uint64_t started = aTime_GetMSTicks();
  EXPECT_EQ(client.Erase(0, 1), aErrNotReady);
  uint64_t waited = aTime_GetMSTicks() - started;
  EXPECT_EQ(client.LastReply(), NXPSerialClass::Reply::Silent);
  EXPECT_EQ(client.LastWaitMs(), NXPSerialClass::EraseWaitMs(0, 1));
  EXPECT_GE(waited, NXPSerialClass::EraseWaitMs(0, 1));
  EXPECT_LT(waited, NXPSerialClass::EraseWaitMs(0, 1) + 2000);  // a hang guard, not a timing test
  // A refusal is told apart from silence, with its code.
  EXPECT_EQ(client.Prepare(0, 40), aErrParam);
  EXPECT_EQ(client.LastReply(), NXPSerialClass::Reply::Refused);
  EXPECT_EQ(client.LastReturnCode(), 7);
}

namespace {
bool stopNow() { return true; }
}  // namespace

TEST_F(NXPSerialSim, AStopCheckEndsCommandsBeforeTheySend) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised());
  long long before = bytesIn();
  client.SetStopCheck(stopNow);
  EXPECT_EQ(client.Unlock(), aErrCancel);
  std::vector<unsigned char> data(8, 0);
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 8, data.data()), aErrCancel);
  EXPECT_EQ(bytesIn(), before);
}

TEST_F(NXPSerialSim, BadSynchronisationAcknowledgementGivesIo) {
  // Bytes 1-14 are "Synchronized\r\n", 15-28 its echo; the 29th, the "O" of "OK", is lost.
  ASSERT_NO_FATAL_FAILURE(start({"--fault", "drop-out every 29"}));
  EXPECT_EQ(client.Sync(), aErrIO);
}

TEST_F(NXPSerialSim, UnlockPrepareEraseAndTheirRefusals) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised());
  EXPECT_EQ(client.Erase(0, 0), aErrParam);  // CMD_LOCKED before the unlock
  ASSERT_EQ(client.Unlock(), aErrNone);
  EXPECT_EQ(client.Erase(0, 29), aErrParam);    // SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION
  EXPECT_EQ(client.Prepare(0, 30), aErrParam);  // INVALID_SECTOR
  ASSERT_EQ(client.Prepare(0, 29), aErrNone);
  ASSERT_EQ(client.Erase(0, 29), aErrNone);
  ASSERT_EQ(client.SetEcho(false), aErrNone);
  EXPECT_EQ(client.Erase(3, 3), aErrParam);  // an erase uses up the preparation
  ASSERT_EQ(client.Prepare(3, 3), aErrNone);
  ASSERT_EQ(client.Erase(3, 3), aErrNone);
  std::vector<std::string> expected = {"E 0 0", "U 23130", "E 0 29", "P 0 30", "P 0 29", "E 0 29",
                                       "A 0",   "E 3 3",   "P 3 3",  "E 3 3"};
  EXPECT_EQ(sim->historyLines(), expected);
  EXPECT_EQ(sim->status("unlocked"), 1);
}

TEST_F(NXPSerialSim, NonSuccessCodesFailWithEchoOnAndOff) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised());
  for (bool echoOn : {true, false}) {
    ASSERT_EQ(client.SetEcho(echoOn), aErrNone);
    for (const char* code : {"1", "9", "10", "15", "19"}) {
      SCOPED_TRACE(std::string("echo ") + (echoOn ? "on" : "off") + " code " + code);
      ASSERT_TRUE(sim->ok(std::string("fault fail P ") + code + " once"));
      EXPECT_EQ(client.Prepare(1, 2), aErrParam);
      EXPECT_EQ(client.Prepare(1, 2), aErrNone);  // the fault was used up
    }
    ASSERT_TRUE(sim->ok("fault fail P none once"));
    EXPECT_EQ(client.Prepare(1, 2), aErrNotReady);  // no answer at all
    EXPECT_EQ(client.Prepare(1, 2), aErrNone);
  }
}

TEST_F(NXPSerialSim, WritesOf900And904BytesLandInRamWithOneAndTwoChecksums) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised());
  for (bool echoOn : {true, false}) {
    ASSERT_EQ(client.SetEcho(echoOn), aErrNone);
    for (unsigned int count : {900u, 904u}) {
      SCOPED_TRACE(std::string("echo ") + (echoOn ? "on " : "off ") + std::to_string(count));
      std::vector<unsigned char> data = randomBytes(count, count + echoOn);
      // A reply proves the chip has taken every byte sent before it.
      ASSERT_EQ(client.Prepare(0, 0), aErrNone);
      long long before = bytesIn();
      ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, count, data.data()), aErrNone);
      EXPECT_EQ(static_cast<size_t>(bytesIn() - before), writeTrafficBytes(NXPSerialClass::WRITE_ADDRESS, data));
      EXPECT_EQ(readBack(NXPSerialClass::WRITE_ADDRESS, count), data);
    }
  }
}

// On a slow line the echo of a data line, and with echo off the answer to a checksum after 20
// lines, come later than the usual waits allow; a port that reports lines sent while they still
// wait in a buffer (a pty, unlike a UART) must not make the write fail.
TEST_F(NXPSerialSim, WritesOnASlowLine) {
  const struct {
    unsigned int baud;
    bool echoOn;
    unsigned int count;
  } cases[] = {{2400, true, 136}, {4800, false, 900}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    ASSERT_NO_FATAL_FAILURE(startSynchronised({"--pace", std::to_string(c.baud)}, c.baud));
    ASSERT_EQ(client.SetEcho(c.echoOn), aErrNone);
    std::vector<unsigned char> data = randomBytes(c.count, c.baud);
    ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, c.count, data.data()), aErrNone);
    ASSERT_TRUE(sim->ok("pace off"));
    EXPECT_EQ(readBack(NXPSerialClass::WRITE_ADDRESS, c.count), data);
    EXPECT_EQ(aErrNone, client.Disconnect());
  }
}

TEST_F(NXPSerialSim, ChecksumRejectionsWithinTheRetryBudget) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised());
  ASSERT_EQ(client.SetEcho(false), aErrNone);
  const struct {
    const char* resends;
    aErr result;
  } cases[] = {{"1", aErrNone}, {"2", aErrNone}, {"3", aErrTimeout}};
  unsigned seed = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.resends);
    std::vector<unsigned char> data = randomBytes(1800, ++seed);
    ASSERT_TRUE(sim->ok(std::string("fault resend ") + c.resends));
    EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 1800, data.data()), c.result);
    if (c.result == aErrNone) {
      EXPECT_EQ(readBack(NXPSerialClass::WRITE_ADDRESS, 1800), data);
    }
  }
}

TEST_F(NXPSerialSim, UnexpectedChecksumAnswerGivesIo) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised());
  ASSERT_EQ(client.SetEcho(false), aErrNone);
  std::vector<unsigned char> data = randomBytes(400, 5);
  // The chip says "0\r\n" to the W command, then "OK\r\n"; its fifth byte, the "K", is lost.
  ASSERT_TRUE(sim->ok("fault drop-out every 5"));
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 400, data.data()), aErrIO);
}

TEST_F(NXPSerialSim, WriteRefusedByTheChipSendsNoData) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised());
  ASSERT_EQ(client.SetEcho(false), aErrNone);
  std::vector<unsigned char> data = randomBytes(400, 6);
  long long before = bytesIn();
  EXPECT_EQ(client.Write(0x10000000, 400, data.data()), aErrParam);  // the ISP handler's own RAM
  EXPECT_EQ(bytesIn() - before, static_cast<long long>(strlen("W 268435456 400\r\n")));
}

TEST_F(NXPSerialSim, ReadAsksForTheGroupAgainOnABadChecksum) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised());
  std::vector<unsigned char> data = randomBytes(1000, 8);
  ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 1000, data.data()), aErrNone);
  ASSERT_TRUE(sim->ok("fault read-checksum once"));
  EXPECT_EQ(readBack(NXPSerialClass::WRITE_ADDRESS, 1000), data);
  ASSERT_TRUE(sim->ok("fault read-checksum always"));
  std::vector<unsigned char> out(1000);
  EXPECT_EQ(client.Read(NXPSerialClass::WRITE_ADDRESS, 1000, out.data()), aErrTimeout);
}

TEST_F(NXPSerialSim, CopyToFlashHonoursPreparationAndLands) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised());
  ASSERT_EQ(client.SetEcho(false), aErrNone);
  ASSERT_EQ(client.Unlock(), aErrNone);
  std::vector<unsigned char> data = randomBytes(256, 9);
  ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 256, data.data()), aErrNone);
  EXPECT_EQ(client.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);  // not prepared
  ASSERT_EQ(client.Prepare(2, 2), aErrNone);
  ASSERT_EQ(client.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
  std::vector<uint8_t> flash = sim->flash();
  ASSERT_GE(flash.size(), 0x2100u);
  EXPECT_EQ(std::vector<unsigned char>(flash.begin() + 0x2000, flash.begin() + 0x2100), data);
}

// A word that did not program is found by the chip's compare, with its offset, echo on and off.
TEST_F(NXPSerialSim, CompareNamesTheFirstDifference) {
  for (bool echoOn : {true, false}) {
    SCOPED_TRACE(echoOn ? "echo on" : "echo off");
    ASSERT_NO_FATAL_FAILURE(startSynchronised({"--fault", "bad-word 0x2010"}));
    if (!echoOn) {
      ASSERT_EQ(client.SetEcho(false), aErrNone);
    }
    ASSERT_EQ(client.Unlock(), aErrNone);
    std::vector<unsigned char> data = randomBytes(256, 10);
    ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 256, data.data()), aErrNone);
    for (unsigned int flash : {0x1000u, 0x2000u}) {
      ASSERT_EQ(client.Prepare(flash / 0x1000, flash / 0x1000), aErrNone);
      ASSERT_EQ(client.CopyToFlash(flash, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
    }
    unsigned int difference = 99;
    EXPECT_EQ(client.Compare(0x1000, NXPSerialClass::WRITE_ADDRESS, 256, &difference), aErrNone);
    EXPECT_EQ(client.LastReply(), NXPSerialClass::Reply::Success);
    EXPECT_EQ(client.Compare(0x2000, NXPSerialClass::WRITE_ADDRESS, 256, &difference), aErrParam);
    EXPECT_EQ(client.LastReturnCode(), 10);
    EXPECT_EQ(difference, 0x10u);
    // The offset line was taken: the next command reads its own answer.
    EXPECT_EQ(client.Prepare(0, 0), aErrNone);
    EXPECT_EQ(client.Compare(0x2000, NXPSerialClass::WRITE_ADDRESS, 6, &difference), aErrParam);  // not words
  }
}

// The recovery's flash session: identification in one session, then unlock, prepare and erase of
// every sector and the image in pieces of 4096 staged in RAM and copied to flash, in a second
// session on the same (still synchronised) chip.
TEST_F(NXPSerialSim, FullFlashWriteMatchesTheImage) {
  ASSERT_NO_FATAL_FAILURE(startSynchronised({"--on-close", "keep"}));
  ASSERT_EQ(client.GetDeviceID(), aErrNone);
  EXPECT_EQ(aErrNone, client.Disconnect());

  std::vector<unsigned char> image = randomBytes(70000, 70000);
  ASSERT_EQ(client.Connect(sim->port().c_str(), 115200), aErrNone);
  ASSERT_EQ(client.Unlock(), aErrNone);
  ASSERT_EQ(client.Prepare(0, 29), aErrNone);
  ASSERT_EQ(client.Erase(0, 29), aErrNone);
  ASSERT_EQ(client.SetEcho(false), aErrNone);
  unsigned int pieces = 0;
  for (unsigned int offset = 0; offset < image.size(); ++pieces) {
    unsigned int piece = std::min<unsigned int>(4096, static_cast<unsigned int>(image.size()) - offset);
    ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, piece, image.data() + offset), aErrNone) << offset;
    ASSERT_EQ(client.Prepare(NXPSerialClass::SectorFromAddress(offset),
                             NXPSerialClass::SectorFromAddress(offset + piece - 1)),
              aErrNone);
    ASSERT_EQ(client.CopyToFlash(offset, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(piece)), aErrNone);
    offset += piece;
  }
  EXPECT_EQ(pieces, 18u);
  ASSERT_EQ(client.SetEcho(true), aErrNone);
  ASSERT_EQ(client.ExecuteFrom(0), aErrNone);

  std::vector<uint8_t> flash = sim->flash();
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  std::vector<std::string> lines = sim->historyLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "G 0 T");
  EXPECT_EQ(sim->status("started_at"), 0);
}

}  // namespace
