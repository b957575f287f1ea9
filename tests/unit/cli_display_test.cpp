// Console display strings, drawing only on a terminal, message muting and the diagnostic log.
#include <gtest/gtest.h>

#include <limits>
#include <regex>
#include <string>

#include "CLI_Display.h"
#include "FdCapture.h"
#include "Log.h"
#include "RecordingDisplay.h"

namespace {

std::string repeat(char c, int count) { return std::string(static_cast<size_t>(count), c); }

struct ProgressCase {
  const char* name;
  double fraction;
  int labelLength;  // -1: no label
  std::string expected;
};

const std::string kLabel20 = "Verifying Update 20c";
const std::string kLabel65 = repeat('L', 65);
const std::string kLabel80 = repeat('M', 80);

const char* labelOf(int length) {
  switch (length) {
    case 20: return kLabel20.c_str();
    case 65: return kLabel65.c_str();
    case 80: return kLabel80.c_str();
    default: return nullptr;
  }
}

const ProgressCase kProgressCases[] = {
    {"Empty", 0.0, -1, "\r[>" + repeat(' ', 68) + "] (  0% ) "},
    {"Full", 1.0, -1, "\r[" + repeat('=', 69) + "> ] (100% ) "},
    {"Half", 0.5, -1, "\r[" + repeat('=', 34) + ">" + repeat(' ', 34) + "] ( 50% ) "},
    {"TruncatesTowardZero", 0.999, -1, "\r[" + repeat('=', 68) + ">] ( 99% ) "},
    {"Label20Empty", 0.0, 20, "\r (" + kLabel20 + ") [>" + repeat(' ', 44) + "] (  0% ) "},
    {"Label20Half", 0.5, 20, "\r (" + kLabel20 + ") [" + repeat('=', 22) + ">" + repeat(' ', 22) + "] ( 50% ) "},
    {"Label20Full", 1.0, 20, "\r (" + kLabel20 + ") [" + repeat('=', 45) + "> ] (100% ) "},
    {"Label65LeavesNoBar", 1.0, 65, "\r (" + kLabel65 + ") [> ] (100% ) "},
    {"Label80LeavesNoBar", 0.5, 80, "\r (" + kLabel80 + ") [> ] ( 50% ) "},
    {"NegativeIsZero", -0.5, -1, "\r[>" + repeat(' ', 68) + "] (  0% ) "},
    {"AboveOneIsFull", 7.0, -1, "\r[" + repeat('=', 69) + "> ] (100% ) "},
    {"NotANumberIsZero", std::numeric_limits<double>::quiet_NaN(), -1, "\r[>" + repeat(' ', 68) + "] (  0% ) "},
    {"HugeIsFull", 1e300, -1, "\r[" + repeat('=', 69) + "> ] (100% ) "},
};

class ProgressText : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressText, Drawn) {
  const ProgressCase& c = GetParam();
  EXPECT_EQ(CLI_Display::ProgressText(c.fraction, labelOf(c.labelLength)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressText, ::testing::ValuesIn(kProgressCases),
                         [](const ::testing::TestParamInfo<ProgressCase>& info) { return std::string(info.param.name); });

TEST(ProgressText, BarIsWidthWideBelowFull) {
  // At 100% the padding of -1 adds one column (see the Full case).
  for (int step = 0; step < 100; ++step) {
    std::string text = CLI_Display::ProgressText(step / 100.0, nullptr);
    size_t open = text.find('[');
    size_t close = text.find(']');
    ASSERT_NE(close, std::string::npos);
    EXPECT_EQ(close - open - 1, 69u) << step;
  }
}

TEST(SpinnerText, FramesWithAndWithoutLabel) {
  const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(CLI_Display::SpinnerText(static_cast<uint8_t>(i), nullptr), std::string("\r ") + frames[i] + "      \r");
    EXPECT_EQ(CLI_Display::SpinnerText(static_cast<uint8_t>(i), "Verifying Update"),
              std::string("\r (Verifying Update) ") + frames[i] + "      \r");
  }
}

TEST(EraseText, CarriageReturnEightyEightSpaces) {
  EXPECT_EQ(CLI_Display::EraseText(), "\r" + repeat(' ', 88) + "\r");
}

// Runs body with standard output pointed at target.
template <typename Body>
void withStdout(int target, Body body) {
  FdRedirect redirect(stdout, target);
  body();
}

TEST(Drawing, NothingDrawnWhenStdoutIsAFile) {
  CaptureFile out, err;
  ASSERT_TRUE(out.ok() && err.ok());
  CLI_Display display;
  uint8_t frameBefore = CLI_Display::spinner_frame;
  {
    FdRedirect toOut(stdout, out.fd());
    FdRedirect toErr(stderr, err.fd());
    display.display_progress(true);
    display.update_progress(0.5, nullptr);
    display.display_progress(false);
    display.update_spinner(true, "Verifying Update");
    display.update_spinner(false, "Verifying Update");
    display.info_message("information");
    display.message(UpdaterDisplayInterface::INFO, "value %d", 7);
    display.error_message("trouble");
    display.message(UpdaterDisplayInterface::ERROR, "code %s", "x");
  }
  EXPECT_EQ(out.text(), "information\nvalue 7\n");
  EXPECT_EQ(err.text(), "trouble\ncode x\n");
  EXPECT_EQ(CLI_Display::spinner_frame, frameBefore);
}

TEST(Drawing, DrawnOnATerminal) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  CLI_Display display;
  CLI_Display::spinner_frame = 0;
  withStdout(terminal.slave(), [&] {
    display.display_progress(true);
    display.update_progress(0.0, nullptr);
    display.update_progress(1.0, nullptr);
    display.display_progress(false);
  });
  std::string expected = CLI_Display::ProgressText(0.0, nullptr) + CLI_Display::ProgressText(1.0, nullptr) +
                         CLI_Display::EraseText();
  EXPECT_EQ(terminal.readMaster(expected.size()), expected);
  EXPECT_EQ(terminal.drainMaster(), "");
}

TEST(Drawing, SpinnerCyclesThroughEightFramesOnATerminal) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  CLI_Display display;
  CLI_Display::spinner_frame = 0;
  withStdout(terminal.slave(), [&] {
    for (int i = 0; i < 9; ++i) display.update_spinner(true, nullptr);
    display.update_spinner(false, nullptr);
  });
  const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
  std::string expected;
  for (const char* frame : frames) expected += std::string("\r ") + frame + "      \r";
  expected += CLI_Display::EraseText();
  EXPECT_EQ(terminal.readMaster(expected.size()), expected);
  EXPECT_EQ(CLI_Display::spinner_frame, 1);
}

TEST(Messages, LevelsRouteAndMutingSwallowsBoth) {
  RecordingDisplay display;
  display.message(UpdaterDisplayInterface::INFO, "a %d", 1);
  display.message(UpdaterDisplayInterface::ERROR, "b %s", "2");
  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::INFO, "muted info");
  display.message(UpdaterDisplayInterface::ERROR, "muted error");
  display.info_message("direct");  // the virtual operations are never muted
  display.mute_messages(false);
  display.message(UpdaterDisplayInterface::ERROR, "after");
  EXPECT_EQ(display.infos, (std::vector<std::string>{"a 1", "direct"}));
  EXPECT_EQ(display.errors, (std::vector<std::string>{"b 2", "after"}));
}

TEST(Messages, LongTextIsCutToBuffer) {
  RecordingDisplay display;
  std::string longText = repeat('x', 5000);
  display.message(UpdaterDisplayInterface::INFO, "%s", longText.c_str());
  ASSERT_EQ(display.infos.size(), 1u);
  EXPECT_EQ(display.infos[0], repeat('x', 2047));
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedMask_ = Log::package_bitmask;
    savedOutput_ = Log::fh;
    savedStamp_ = Log::timestamped;
    Log::package_bitmask = 0;
    Log::timestamped = false;
    ASSERT_TRUE(file_.ok());
    Log::SetOutput(fdopen(dup(file_.fd()), "w"));
  }
  void TearDown() override {
    fclose(Log::fh);
    Log::SetOutput(savedOutput_);
    Log::package_bitmask = savedMask_;
    Log::timestamped = savedStamp_;
  }
  std::string written() {
    fflush(Log::fh);
    return file_.text();
  }

  CaptureFile file_;
  uint32_t savedMask_ = 0;
  FILE* savedOutput_ = nullptr;
  bool savedStamp_ = false;
};

TEST_F(LogTest, PackageZeroAlwaysWrites) {
  Log::log(0, "always %d\n", 1);
  EXPECT_EQ(written(), "always 1\n");
}

TEST_F(LogTest, PackageWritesOnlyWhenEnabled) {
  Log::log(DEBUG_Network_FIRM, "firm before\n");
  Log::ActivatePackage(0x10000);
  Log::log(DEBUG_Network_FIRM, "firm other\n");
  Log::ActivatePackage(0x400);
  Log::log(DEBUG_Network_FIRM, "firm after\n");
  Log::log(DEBUG_APP, "app\n");
  EXPECT_EQ(Log::DeactivatePackage(0x10000), 0x400u);
  Log::log(DEBUG_APP, "app gone\n");
  EXPECT_EQ(written(), "firm after\napp\n");
}

TEST_F(LogTest, LongRecordIsCutToBuffer) {
  std::string longText = repeat('y', 4000);
  Log::log(0, "%s", longText.c_str());
  EXPECT_EQ(written(), repeat('y', 2047));
}

TEST_F(LogTest, NoOutputStreamWritesNothing) {
  FILE* ours = Log::fh;
  Log::SetOutput(nullptr);
  Log::log(0, "dropped\n");
  Log::SetOutput(ours);
  EXPECT_EQ(written(), "");
}

TEST_F(LogTest, TimestampGoesToStdoutForLongFormats) {
  CaptureFile out;
  ASSERT_TRUE(out.ok());
  Log::timestamped = true;
  {
    FdRedirect toOut(stdout, out.fd());
    Log::log(0, "short\n");
    Log::log(0, "a longer record\n");
  }
  Log::timestamped = false;
  EXPECT_TRUE(std::regex_match(out.text(), std::regex("\\d{4}:\\d{2}:\\d{2}:\\d{2}:\\d{2}:\\d{2} \\| ")))
      << out.text();
  EXPECT_EQ(written(), "short\na longer record\n");
}

}  // namespace
