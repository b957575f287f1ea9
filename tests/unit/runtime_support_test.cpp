// Support routines of the device library: errors, model names, versions, big-endian fields,
// files, sleeps, the packet pacer, paths, Base64 and mutexes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "aBase64.h"
#include "aDefs.h"
#include "aError.h"
#include "aFile.h"
#include "aHex.h"
#include "aMutex.h"
#include "aPacer.h"
#include "aPath.h"
#include "aTime.h"
#include "aUEI.h"
#include "aVersion.h"

namespace {

struct ErrorCase {
  int code;
  const char* text;
  const char* description;
};

TEST(ErrorTexts, Table) {
  const ErrorCase cases[] = {
      {0, "aErrNone", "Success, no error"},
      {1, "aErrMemory", "Memory allocation"},
      {3, "aErrNotFound", "Not found"},
      {6, "aErrIO", "Input/Output error"},
      {11, "aErrNotReady", "Not ready, no bytes available"},
      {15, "aErrOverrun", "Buffer/queue overrun"},
      {18, "aErrTimeout", "Timeout occurred"},
      {23, "aErrCancel", "Cancelation occurred, or did not complete"},
      {27, "aErrShortCommand", "Halyard command to short"},
      {33, "aErrStreamStale", "Stream value is stale"},
      {34, "aErrUnknown", "Unknown error"},
      {35, "aErrUnknown", "Unknown error"},
      {-1, "aErrUnknown", "Unknown error"},
      {1000000, "aErrUnknown", "Unknown error"},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_STREQ(aError_GetErrorText(c.code), c.text) << c.code;
    EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description) << c.code;
  }
}

TEST(ErrorTexts, EveryCodeHasItsOwnName) {
  // The enumeration and the text table must not drift apart.
  EXPECT_EQ(aErrUnknown, 34);
  for (int code = 0; code < aErrUnknown; ++code) {
    EXPECT_STRNE(aError_GetErrorText(code), "aErrUnknown") << code;
    EXPECT_STRNE(aError_GetErrorText(code), aError_GetErrorText(code + 1)) << code;
  }
  EXPECT_STREQ(aError_GetErrorText(aErrParam), "aErrParam");
  EXPECT_STREQ(aError_GetErrorText(aErrRange), "aErrRange");
  EXPECT_STREQ(aError_GetErrorText(aErrConnection), "aErrConnection");
}

TEST(ModelNames, Table) {
  const struct {
    int number;
    const char* name;
  } cases[] = {{4, "Wren"},    {5, "Finch"},    {13, "Plover"},  {14, "Tern"},    {15, "Heron"},
               {16, "Egret"},  {17, "Kestrel"}, {18, "Merlin"},  {19, "Osprey"},  {20, "Petrel"},
               {21, "Avocet"}, {22, "Dunlin"},  {23, "Gannet"},  {24, "Linnet"},  {0, "Unknown"},
               {6, "Unknown"}, {12, "Unknown"}, {25, "Unknown"}, {-4, "Unknown"}, {255, "Unknown"}};
  for (const auto& c : cases) EXPECT_STREQ(aDefs_GetModelName(c.number), c.name) << c.number;
}

TEST(Versions, UnpackAndFormat) {
  const struct {
    uint32_t packed;
    uint32_t major, minor, patch;
    const char* text;
  } cases[] = {{0x12000123, 1, 2, 291, "1.2.291"},
               {0x00000000, 0, 0, 0, "0.0.0"},
               {0xFFFFFFFF, 15, 15, 16777215, "15.15.16777215"},
               {0x29000001, 2, 9, 1, "2.9.1"}};
  for (const auto& c : cases) {
    EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
    EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
    EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
    EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.packed);
    char text[32];
    EXPECT_STREQ(aVersion_ParseString(c.packed, text, sizeof text), c.text);
  }
}

TEST(Versions, StringIsCutToBuffer) {
  char text[6];
  memset(text, 'Z', sizeof text);
  aVersion_ParseString(0x12000123, text, 4);
  EXPECT_STREQ(text, "1.2");
  EXPECT_EQ(text[4], 'Z');
}

TEST(Versions, LibraryVersion) {
  EXPECT_EQ(aVersion_GetMajor(), 2u);
  EXPECT_EQ(aVersion_GetMinor(), 9u);
  EXPECT_EQ(aVersion_GetPatch(), 29u);
  EXPECT_STREQ(aVersion_GetString(), "2.9.29");
  EXPECT_TRUE(aVersion_IsAtLeast(2, 9, 29));
  EXPECT_TRUE(aVersion_IsAtLeast(1, 255, 255));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 8, 200));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 9, 30));
  EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

// Two upper-case digits a byte, one space between bytes, none before the first or after the last.
TEST(HexBytes, Table) {
  const uint8_t bytes[] = {0x00, 0x0A, 0xF0, 0xFF, 0x7E};
  struct Case {
    size_t length;
    const char* text;
  };
  const Case cases[] = {{0, ""}, {1, "00"}, {2, "00 0A"}, {5, "00 0A F0 FF 7E"}};
  for (const Case& c : cases) EXPECT_EQ(aHex_Bytes(bytes, c.length), c.text) << c.length;
  EXPECT_EQ(aHex_Bytes(nullptr, 3), "");
}

TEST(BigEndian, RetrieveAndStore) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(aUEI_RetrieveInt(bytes), 0x01020304u);
  EXPECT_EQ(aUEI_RetrieveShort(bytes + 2), 0x0304u);
  uint8_t out[4] = {};
  aUEI_StoreShort(out, 0xABCD);
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(out[1], 0xCD);
  aUEI_StoreInt(out, 0xFEDCBA98);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0xFE, 0xDC, 0xBA, 0x98}));
  EXPECT_EQ(aUEI_RetrieveInt(out), 0xFEDCBA98u);
  uint32_t words[2];
  const uint8_t raw[] = {0x00, 0x00, 0x01, 0x02, 0x80, 0x00, 0x00, 0x01};
  memcpy(words, raw, sizeof raw);
  EXPECT_EQ(aUEI_ModifyIntBuffer(words, 2), 2u);
  EXPECT_EQ(words[0], 0x102u);
  EXPECT_EQ(words[1], 0x80000001u);
}

// A scratch directory removed with its files at the end of a test.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/runtime_support_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& file : files_) unlink(file.c_str());
    rmdir(dir_.c_str());
  }
  std::string file(const char* name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f) {
      fwrite(content.data(), 1, content.size(), f);
      fclose(f);
    }
    files_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

using Files = ScratchDir;

TEST_F(Files, ExistsRefusesDirectoriesAndOverlongPaths) {
  std::string path = file("plain", "x");
  EXPECT_TRUE(aFile_Exists(path.c_str()));
  EXPECT_FALSE(aFile_Exists(dir_.c_str()));
  EXPECT_FALSE(aFile_Exists((dir_ + "/missing").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_FALSE(aFile_Exists(std::string(4097, 'a').c_str()));
}

TEST_F(Files, OpenRefusals) {
  std::string path = file("plain", "x");
  EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open("", aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open(path.c_str(), 3), nullptr);
  EXPECT_EQ(aFile_Open(path.c_str(), -1), nullptr);
  EXPECT_EQ(aFile_Open((dir_ + "/missing").c_str(), aFileModeRead), nullptr);
  std::string longPath = "/" + std::string(4096, 'a');
  EXPECT_EQ(aFile_Open(longPath.c_str(), aFileModeWrite), nullptr);
}

TEST_F(Files, ReadAtEndGivesEofAndZeroCount) {
  std::string path = file("three", "abc");
  aFileRef f = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  char buffer[8];
  size_t count = 99;
  EXPECT_EQ(aFile_Read(f, buffer, sizeof buffer, &count), aErrNone);  // a short read is success
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(aFile_Read(f, buffer, sizeof buffer, &count), aErrEOF);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Write(f, "x", 1, &count), aErrMode);
  EXPECT_EQ(aFile_Read(f, nullptr, 1, &count), aErrParam);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrParam);
}

TEST_F(Files, WriteModeRefusesReadAndAppendDoesBoth) {
  std::string path = dir_ + "/written";
  files_.push_back(path);
  aFileRef f = aFile_Open(path.c_str(), aFileModeWrite);
  ASSERT_NE(f, nullptr);
  size_t count = 0;
  EXPECT_EQ(aFile_Write(f, "hello", 5, &count), aErrNone);
  EXPECT_EQ(count, 5u);
  char buffer[4];
  EXPECT_EQ(aFile_Read(f, buffer, 1, &count), aErrMode);
  EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &count), aErrMode);
  EXPECT_EQ(aFile_Printf(f, " %d", 42), aErrNone);
  ASSERT_EQ(aFile_Close(&f), aErrNone);

  f = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(f, nullptr);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(aFile_Write(f, "!", 1, &count), aErrNone);  // appended at the end
  EXPECT_EQ(aFile_Seek(f, 0, 0), aErrNone);
  char text[16] = {};
  EXPECT_EQ(aFile_Read(f, text, sizeof text - 1, &count), aErrNone);
  EXPECT_STREQ(text, "hello 42!");
  EXPECT_EQ(aFile_Close(&f), aErrNone);

  f = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_Printf(f, "x"), aErrMode);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
}

struct SeekCase {
  long offset;
  int origin;
  aErr result;
  long position;  // after the call (unchanged on failure)
};

TEST_F(Files, SeekRange) {
  std::string path = file("ten", "0123456789");
  aFileRef f = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  const SeekCase cases[] = {
      {4, 0, aErrNone, 4},    {10, 0, aErrNone, 10},  {11, 0, aErrRange, 10}, {-1, 0, aErrRange, 10},
      {-3, 1, aErrNone, 7},   {3, 1, aErrNone, 10},   {1, 1, aErrRange, 10},  {-11, 2, aErrRange, 10},
      {-10, 2, aErrNone, 0},  {0, 2, aErrNone, 10},   {1, 2, aErrRange, 10},  {__LONG_MAX__, 2, aErrRange, 10},
  };
  for (const SeekCase& c : cases) {
    EXPECT_EQ(aFile_Seek(f, c.offset, c.origin), c.result) << c.offset << " from " << c.origin;
    size_t position = 0;
    ASSERT_EQ(aFile_GetPosition(f, &position), aErrNone);
    EXPECT_EQ(static_cast<long>(position), c.position) << c.offset << " from " << c.origin;
  }
  EXPECT_EQ(aFile_Seek(nullptr, 0, 0), aErrParam);
  EXPECT_EQ(aErrNone, aFile_Close(&f));
}

struct LineCase {
  size_t capacity;
  aErr result;
  std::string line;
};

TEST_F(Files, ReadLineOverrunLeavesRestForNextCall) {
  std::string path = file("lines", "1234567\n123456\nlast");
  aFileRef f = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  const LineCase cases[] = {
      {8, aErrOverrun, "1234567"},  // seven characters fill the buffer; the line feed stays
      {8, aErrNone, "\n"},
      {8, aErrNone, "123456\n"},  // six characters and the line feed fit exactly
      {8, aErrNone, "last"},      // a last line without line feed
      {8, aErrEOF, ""},
  };
  for (const LineCase& c : cases) {
    char buffer[16];
    memset(buffer, 'Q', sizeof buffer);
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(f, buffer, c.capacity, &length), c.result) << c.line;
    EXPECT_EQ(std::string(buffer), c.line);
    EXPECT_EQ(length, c.line.size());
    EXPECT_EQ(buffer[c.capacity], 'Q') << "written past the capacity";
  }
  EXPECT_EQ(aErrNone, aFile_Close(&f));
}

// A write that only reaches the stdio buffer succeeds; the device refuses the bytes when the
// buffer is flushed, which for a short file happens only in the close.
TEST(FileClose, FailedFinalFlushIsReported) {
  for (int mode : {aFileModeWrite, aFileModeAppend}) {
    aFileRef f = aFile_Open("/dev/full", mode);
    ASSERT_NE(f, nullptr) << "mode " << mode;
    size_t count = 0;
    EXPECT_EQ(aFile_Write(f, "> 01 02 03\n", 11, &count), aErrNone) << "mode " << mode;
    EXPECT_EQ(count, 11u);
    EXPECT_EQ(aFile_Close(&f), aErrWrite) << "mode " << mode;
    EXPECT_EQ(f, nullptr);
  }
  // Nothing written: nothing to flush, and the close succeeds.
  aFileRef f = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST_F(Files, InvalidHandlesAreRefused) {
  char buffer[4];
  size_t count = 0;
  EXPECT_EQ(aFile_Read(nullptr, buffer, 1, &count), aErrParam);
  EXPECT_EQ(aFile_Write(nullptr, buffer, 1, &count), aErrParam);
  EXPECT_EQ(aFile_ReadLine(nullptr, buffer, sizeof buffer, &count), aErrParam);
  EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
  size_t size = 1;
  EXPECT_EQ(aFile_GetSize(nullptr, &size), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
}

TEST(Sleep, Slices) {
  const struct {
    unsigned long ms;
    std::vector<unsigned long> slices;
  } cases[] = {
      {0, {}},
      {1, {1000}},
      {999, {999000}},
      {1000, {999999, 1}},
      {2500, {999999, 999999, 500002}},
  };
  for (const auto& c : cases) {
    unsigned long slices[8] = {};
    unsigned count = aTime_SleepSlices(c.ms, slices, 8);
    EXPECT_EQ(std::vector<unsigned long>(slices, slices + count), c.slices) << c.ms;
  }
  // Counting without room to store is allowed.
  EXPECT_EQ(aTime_SleepSlices(5000, nullptr, 0), 6u);
}

TEST(Clock, MillisecondsSinceEpoch) {
  uint64_t now = aTime_GetMSTicks();
  EXPECT_GT(now, 1600000000000ull);  // after 2020
  aTime_MSSleep(0);
  EXPECT_GE(aTime_GetMSTicks(), now);
}

// Whatever the caller does between turns (nothing, less than the spacing, more than it), no turn
// starts sooner than the spacing after the previous one: the pacer's early-aimed sleep must be
// made up by waiting on the clock.
TEST(Pacer, NoTurnStartsSoonerThanTheSpacing) {
  using namespace std::chrono;
  const auto spacing = milliseconds(1);
  const auto busyFor = [](aPacer::Clock::duration span) {
    auto until = aPacer::Clock::now() + span;
    while (aPacer::Clock::now() < until) {
    }
  };
  const std::function<void()> between[] = {
      [] {},
      [] { std::this_thread::sleep_for(microseconds(300)); },
      [&] { busyFor(microseconds(950)); },
      [] { std::this_thread::sleep_for(milliseconds(2)); },
  };
  aPacer pacer{spacing};
  auto previous = pacer.awaitTurn();
  for (int turn = 0; turn < 400; ++turn) {
    between[turn % 4]();
    auto start = pacer.awaitTurn();
    ASSERT_GE(start - previous, spacing) << "turn " << turn;
    ASSERT_LE(start, aPacer::Clock::now());
    ASSERT_GE(pacer.lead(), aPacer::Clock::duration::zero());
    ASSERT_LE(pacer.lead(), aPacer::kLongestLead);
    previous = start;
  }
}

// The lead follows the lateness the sleeps show: up after late wakes, down after early ones,
// never below zero nor past its bound; one sleep that wakes very late (another process had the
// processor) moves it little; a steady lateness is settled on from either side.
TEST(Pacer, LeadFollowsTheLatenessOfTheSleeps) {
  using std::chrono::microseconds;
  using std::chrono::milliseconds;
  aPacer pacer{milliseconds(1)};
  EXPECT_EQ(pacer.lead(), aPacer::kFirstLead);

  pacer.noteLateness(milliseconds(5));
  EXPECT_GT(pacer.lead(), aPacer::kFirstLead);
  EXPECT_LE(pacer.lead(), aPacer::kFirstLead + microseconds(5)) << "one outlier moved the lead far";

  auto before = pacer.lead();
  pacer.noteLateness(microseconds(0));
  EXPECT_LT(pacer.lead(), before);
  EXPECT_GT(pacer.lead(), before - microseconds(5)) << "one early wake moved the lead far";

  for (int i = 0; i < 1000; ++i) pacer.noteLateness(milliseconds(1));
  EXPECT_EQ(pacer.lead(), aPacer::kLongestLead);

  for (int i = 0; i < 1000; ++i) pacer.noteLateness(microseconds(-50));
  EXPECT_EQ(pacer.lead(), aPacer::Clock::duration::zero());

  for (auto steady : {microseconds(20), microseconds(120)}) {
    aPacer fresh{milliseconds(1)};
    for (int i = 0; i < 1000; ++i) fresh.noteLateness(steady);
    EXPECT_GE(fresh.lead(), steady - microseconds(5)) << steady.count();
    EXPECT_LE(fresh.lead(), steady + microseconds(5)) << steady.count();
  }
}

TEST(Paths, BuildPathJoinsWithoutNormalising) {
  EXPECT_EQ(BuildPath("a", "b", "c", nullptr), "a/b/c");
  EXPECT_EQ(BuildPath("a", nullptr), "a");
  EXPECT_EQ(BuildPath("/home/u", ".tessaron", "updater", nullptr), "/home/u/.tessaron/updater");
  EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
  EXPECT_EQ(BuildPath("a", "", "b", nullptr), "a//b");
  EXPECT_EQ(BuildPath("a", "/abs", nullptr), "a//abs");
  EXPECT_EQ(BuildPath("", "b", nullptr), "/b");
  EXPECT_EQ(BuildPath(nullptr, "b", nullptr), "");
}

struct DecodeCase {
  std::string text;
  bool decoded;
  std::string bytes;
};

TEST(Base64, DecodeLengths) {
  const DecodeCase cases[] = {
      {"", true, ""},
      {"QUJD", true, "ABC"},
      {"QUI=", true, "AB"},
      {"QQ==", true, "A"},
      {"QUJDRA==", true, "ABCD"},
      {"QUJDR", false, ""},
      {"QUJ", false, ""},
      {"QU*D", false, ""},
      {"QQ=A", true, std::string("A\0", 2)},  // "=" inside counts as zero bits
  };
  for (const DecodeCase& c : cases) {
    size_t length = 99;
    unsigned char* out =
        base64_decode(reinterpret_cast<const unsigned char*>(c.text.data()), c.text.size(), &length);
    if (!c.decoded) {
      EXPECT_EQ(out, nullptr) << c.text;
      continue;
    }
    ASSERT_NE(out, nullptr) << c.text;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), c.bytes) << c.text;
    EXPECT_EQ(out[length], 0) << "terminating zero after " << c.text;
    free(out);
  }
}

TEST(Base64, DecodeInPlaceGivesWhatDecodeGives) {
  const DecodeCase cases[] = {
      {"", true, ""},          {"QUJD", true, "ABC"},    {"QUI=", true, "AB"},
      {"QQ==", true, "A"},     {"QUJDRA==", true, "ABCD"}, {"QUJDR", false, ""},
      {"QUJ", false, ""},      {"QUJDQU*D", false, ""},  {"QQ=A", true, std::string("A\0", 2)},
      {"QUJDREVGR0hJSktMTU5PUA==", true, "ABCDEFGHIJKLMNOP"},
  };
  for (const DecodeCase& c : cases) {
    std::string text = c.text;
    size_t length = 99;
    bool decoded = base64_decode_in_place(reinterpret_cast<unsigned char*>(text.data()), text.size(), &length);
    EXPECT_EQ(decoded, c.decoded) << c.text;
    if (!c.decoded) {
      EXPECT_EQ(length, 0u) << c.text;
      continue;
    }
    EXPECT_EQ(text.substr(0, length), c.bytes) << c.text;
  }
}

TEST(Base64, EncodeLengthsAndRoundTrip) {
  const struct {
    std::string data;
    std::string text;
  } cases[] = {{"", ""}, {"A", "QQ=="}, {"AB", "QUI="}, {"ABC", "QUJD"}, {"ABCD", "QUJDRA=="},
               {std::string("\xff\x00\x7f", 3), "/wB/"}};
  for (const auto& c : cases) {
    size_t length = 99;
    unsigned char* text = base64_encode(reinterpret_cast<const unsigned char*>(c.data.data()), c.data.size(), &length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(length, (c.data.size() + 2) / 3 * 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text)), c.text);
    size_t back = 0;
    unsigned char* bytes = base64_decode(text, length, &back);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), back), c.data);
    free(bytes);
    free(text);
  }
}

TEST(Mutexes, ResultsMapAsDescribed) {
  EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);
  aMutexRef mutex = aMutex_Create(std::string(255, 'n').c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(strlen(aMutex_Identifier(mutex)), 255u);
  EXPECT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate);  // would deadlock
  EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);  // not the owner any more
  EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
  EXPECT_EQ(mutex, nullptr);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrParam);
  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);

  aMutexRef unnamed = aMutex_Create(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(aMutex_Identifier(unnamed), "");
  EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
}

}  // namespace
