// The -k log file: records held during the parse and written on open, a time stamp before each
// line, standard error output unchanged, one warning for a file that cannot be written.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "FdCapture.h"
#include "Log.h"
#include "LogFile.h"
#include "log_capture.h"
#include "store_test_support.h"

using store_test::TempDir;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const char* const kStamp = "[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2} \\| ";

class LogFileTest : public ::testing::Test {
 protected:
  void TearDown() override { LogFile::Close(); }
  TempDir dir;
};

TEST_F(LogFileTest, RecordsGoToTheLogOutputAsBeforeAndToTheFileStamped) {
  LogCapture log(DEBUG_BirdFile);  // stands in for standard error
  std::string path = dir / "run.log";
  { std::ofstream(path) << "earlier run\n"; }

  LogFile::Hold();
  Log::log(DEBUG_BirdFile, "held %d\n", 1);
  std::string warning;
  ASSERT_TRUE(LogFile::Open(path, &warning));
  Log::log(DEBUG_BirdFile, "first part, ");
  Log::log(DEBUG_BirdFile, "second part\n\ntwo lines\n");
  Log::log(DEBUG_Updater, "not enabled\n");
  LogFile::Close();
  Log::log(DEBUG_BirdFile, "after close\n");

  EXPECT_EQ("held 1\nfirst part, second part\n\ntwo lines\nafter close\n", log.text());
  const std::string expected = std::string("earlier run\n") + kStamp + "held 1\n" + kStamp +
                               "first part, second part\n\n" + kStamp + "two lines\n";
  EXPECT_TRUE(std::regex_match(ReadFile(path), std::regex(expected))) << ReadFile(path);
}

// The processes of a run over several devices append to one file: each line carries the device's
// serial number after its stamp (held lines too), and a line goes out only whole, in one write,
// so that another process's line never lands inside it.
TEST_F(LogFileTest, TaggedLinesGoOutWholeWithTheTagAfterTheStamp) {
  LogCapture log(DEBUG_BirdFile);
  const std::string path = dir / "rack.log";
  LogFile::Hold();
  Log::log(DEBUG_BirdFile, "held | with a bar\n");
  std::string warning;
  ASSERT_TRUE(LogFile::Open(path, &warning, "0F5849A1"));
  Log::log(DEBUG_BirdFile, "first part, ");
  const std::string tag = std::string(kStamp) + "0F5849A1 \\| ";
  EXPECT_TRUE(std::regex_match(ReadFile(path), std::regex(tag + "held \\| with a bar\n"))) << ReadFile(path);
  Log::log(DEBUG_BirdFile, "second part\nthe last words");
  LogFile::Close();
  const std::string expected = tag + "held \\| with a bar\n" + tag + "first part, second part\n" + tag + "the last words";
  EXPECT_TRUE(std::regex_match(ReadFile(path), std::regex(expected))) << ReadFile(path);
}

TEST_F(LogFileTest, UnwritableFileGivesOneWarningAndNoCopy) {
  LogCapture log(DEBUG_BirdFile);
  LogFile::Hold();
  Log::log(DEBUG_BirdFile, "held\n");
  std::string warning;
  EXPECT_FALSE(LogFile::Open(dir / "missing/run.log", &warning));
  EXPECT_EQ("Warning: could not write log file " + dir / "missing/run.log" + ": No such file or directory", warning);
  EXPECT_EQ(nullptr, Log::copy);
  Log::log(DEBUG_BirdFile, "still logged\n");
  EXPECT_EQ("held\nstill logged\n", log.text());
}

TEST_F(LogFileTest, FileThatStopsTakingWritesWarnsOnceAndTheRunGoesOn) {
  FILE* savedOutput = Log::fh;
  const uint32_t savedMask = Log::package_bitmask;
  Log::fh = nullptr;
  Log::package_bitmask = DEBUG_BirdFile;
  const std::string path = dir / "full.log";
  std::string warning;
  LogFile::Hold();
  const bool opened = LogFile::Open(path, &warning);
  CaptureFile errors;
  {
    store_test::FileSizeLimit limit(1000);  // as on a full disk
    FdRedirect redirect(stderr, errors.fd());
    for (int i = 0; i < 8; ++i) Log::log(DEBUG_BirdFile, "%0400d\n", i);
  }
  Log::fh = savedOutput;
  Log::package_bitmask = savedMask;
  ASSERT_TRUE(opened) << warning;
  EXPECT_EQ("Warning: could not write log file " + path + ": File too large\n", errors.text());
}

TEST_F(LogFileTest, WithoutAFileNothingIsHeldAfterClose) {
  LogFile::Hold();
  EXPECT_NE(nullptr, Log::copy);
  LogFile::Close();
  EXPECT_EQ(nullptr, Log::copy);
}

// Records carry outside bytes: control characters other than the line feed and the tab, and bytes
// that are no part of a printable UTF-8 character, reach neither the output nor the file.
TEST(LogRecordTest, ControlCharactersAreEscaped) {
  LogCapture log(DEBUG_ServerComm);
  const std::string reply = "ok\x1b[2J\x07 \x9b" "1m \xc2\x9b" "1m caf\xc3\xa9 \x7f\r|\t|";
  Log::log(DEBUG_ServerComm, "reply [%s]\n", reply.c_str());
  EXPECT_EQ("reply [ok?[2J? ?1m ??1m caf\xc3\xa9 ??|\t|]\n", log.text());
  char cut[] = "end \xe2\x82";  // a character cut by the record's end
  Log::EscapeControls(cut, sizeof cut - 1);
  EXPECT_STREQ("end ??", cut);
}

}  // namespace
