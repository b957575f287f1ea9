// Command-line parsing into Parameters: defaults, every option's effect, parse errors and -X.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AppInfo.h"
#include "CommandsClass.h"
#include "Log.h"
#include "ParamParser.h"
#include "Parameters.h"
#include "RecordingDisplay.h"

namespace {

// Parses words (after the program name) with a fresh record and log state.
class ParamsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedMask_ = Log::package_bitmask;
    savedOutput_ = Log::fh;
    Log::package_bitmask = 0;
    logFile_ = tmpfile();
    ASSERT_NE(logFile_, nullptr);
    Log::SetOutput(logFile_);
  }
  void TearDown() override {
    Log::package_bitmask = savedMask_;
    Log::SetOutput(savedOutput_);
    fclose(logFile_);
  }

  int parse(std::vector<std::string> words, const char* program = "/usr/local/bin/Updater") {
    storage_ = {program};
    storage_.insert(storage_.end(), words.begin(), words.end());
    pointers_.clear();
    for (std::string& word : storage_) pointers_.push_back(&word[0]);
    pointers_.push_back(nullptr);
    return _get_params(display_, static_cast<int>(storage_.size()), pointers_.data(), &params_);
  }

  std::string logText() {
    fflush(logFile_);
    rewind(logFile_);
    std::string text;
    char chunk[512];
    size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, logFile_)) > 0) text.append(chunk, count);
    return text;
  }

  Parameters params_;
  RecordingDisplay display_;
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
  FILE* logFile_ = nullptr;
  uint32_t savedMask_ = 0;
  FILE* savedOutput_ = nullptr;
};

TEST_F(ParamsTest, BareCommandLineGivesDefaults) {
  ASSERT_EQ(parse({}), 0);
  EXPECT_EQ(params_.commands.Mask(), 0u);
  EXPECT_EQ(params_.serialNumber, 0u);
  EXPECT_EQ(params_.routerSerialNumber, 0u);
  EXPECT_EQ(params_.transport, linkTypeUSB);
  EXPECT_FALSE(params_.transportGiven);
  EXPECT_EQ(params_.serialPort, "");
  EXPECT_EQ(params_.baudRate, 115200u);
  EXPECT_EQ(params_.moduleAddress, 0);
  EXPECT_EQ(params_.birdFile, "");
  EXPECT_EQ(params_.build, "");
  EXPECT_FALSE(params_.echoBytes);
  EXPECT_EQ(params_.serverUrl, "http://updates.example.invalid:8080/cgi/u");
  EXPECT_FALSE(params_.flagN);
  EXPECT_EQ(params_.programName, "Updater");
  EXPECT_EQ(params_.logFileName, "Updater.log");
  EXPECT_FALSE(params_.overrideModelCheck);
  EXPECT_TRUE(params_.extendedUsage);
  EXPECT_FALSE(params_.helpRequested);
  EXPECT_TRUE(display_.errors.empty());
  EXPECT_TRUE(display_.infos.empty());
}

TEST_F(ParamsTest, DefaultsAreRestoredOnEachParse) {
  ASSERT_EQ(parse({"-D", "-d", "12", "-b", "5", "-OVERRIDE"}), 0);
  ASSERT_EQ(parse({}), 0);
  EXPECT_EQ(params_.commands.Mask(), 0u);
  EXPECT_EQ(params_.serialNumber, 0u);
  EXPECT_EQ(params_.build, "");
  EXPECT_FALSE(params_.overrideModelCheck);
}

TEST_F(ParamsTest, ProgramNameAfterLastSlashOrBackslash) {
  ASSERT_EQ(parse({}, "C:\\tools\\bin/x\\Updater.exe"), 0);
  EXPECT_EQ(params_.programName, "Updater.exe");
  ASSERT_EQ(parse({}, "Updater"), 0);
  EXPECT_EQ(params_.programName, "Updater");
}

struct CommandCase {
  const char* option;
  uint32_t bit;
};

TEST_F(ParamsTest, CommandOptionsSetTheirBits) {
  const CommandCase cases[] = {{"-B", CMD_LIST_BUILDS}, {"-D", CMD_DISCOVER},     {"-G", CMD_GET_BUILD},
                               {"-I", CMD_INFO},        {"-U", CMD_UPDATE},       {"-N", CMD_FINGERPRINT},
                               {"-C", CMD_CHECK}};
  for (const CommandCase& c : cases) {
    ASSERT_EQ(parse({c.option}), 0) << c.option;
    EXPECT_EQ(params_.commands.Mask(), c.bit) << c.option;
  }
  ASSERT_EQ(parse({"-Z", "ignored"}), 0);
  EXPECT_EQ(params_.commands.Mask(), static_cast<uint32_t>(CMD_Z));
  ASSERT_EQ(parse({"-OVERRIDE"}), 0);
  EXPECT_EQ(params_.commands.Mask(), 0u);
  EXPECT_TRUE(params_.overrideModelCheck);
}

TEST_F(ParamsTest, AbbreviatedOverride) {
  ASSERT_EQ(parse({"-O"}), 0);
  EXPECT_TRUE(params_.overrideModelCheck);
  ASSERT_EQ(parse({"-OVER"}), 0);
  EXPECT_TRUE(params_.overrideModelCheck);
}

TEST_F(ParamsTest, StoredParameters) {
  ASSERT_EQ(parse({"-s", "/dev/ttyUSB0", "-f", "fw.bird", "-l", "history note", "-k", "my.log", "-u",
                   "http://127.0.0.1:9/cgi/u", "-e", "x", "-n", "-o", "9600", "-r", "D272031D"}),
            0);
  EXPECT_EQ(params_.serialPort, "/dev/ttyUSB0");
  EXPECT_EQ(params_.birdFile, "fw.bird");
  EXPECT_EQ(params_.historyMessage, "history note");
  EXPECT_EQ(params_.logFileName, "my.log");
  EXPECT_EQ(params_.serverUrl, "http://127.0.0.1:9/cgi/u");
  EXPECT_TRUE(params_.echoBytes);
  EXPECT_TRUE(params_.flagN);
  EXPECT_EQ(params_.baudRate, 9600u);
  EXPECT_EQ(params_.routerSerialNumber, 0xD272031Du);
}

struct SerialCase {
  const char* name;
  std::vector<std::string> words;
  int result;
  uint32_t serial;
  const char* error;  // nullptr: none
};

class SerialArguments : public ParamsTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialArguments, ConvertOrFail) {
  const SerialCase& c = GetParam();
  EXPECT_EQ(parse(c.words), c.result);
  EXPECT_EQ(params_.serialNumber, c.serial);
  if (c.error == nullptr) {
    EXPECT_TRUE(display_.errors.empty());
  } else {
    ASSERT_EQ(display_.errors.size(), 1u);
    EXPECT_EQ(display_.errors[0], c.error);
  }
}

const SerialCase kSerialCases[] = {
    {"HexPrefix", {"-d", "0x40F5849A"}, 0, 0x40F5849A, nullptr},
    {"UpperHexPrefix", {"-d", "0X40F5849A"}, 0, 0x40F5849A, nullptr},
    {"LowerCase", {"-d", "40f5849a"}, 0, 0x40F5849A, nullptr},
    {"EqualsForm", {"-d=40F5849A"}, 0, 0x40F5849A, nullptr},
    {"Short", {"-d", "1"}, 0, 1, nullptr},
    {"Zero", {"-d", "0"}, 1, 0, "Invalid serial number obtained from argument [0]"},
    {"NotHex", {"-d", "xyz"}, 1, 0, "Invalid serial number obtained from argument [xyz]"},
    {"HexWithBadDigit", {"-d", "12G4"}, 1, 0, "Invalid serial number obtained from argument [12G4]"},
    {"PrefixOnly", {"-d", "0x"}, 1, 0, "Invalid serial number obtained from argument []"},
    {"EmptyEquals", {"-d="}, 1, 0, "Invalid serial number obtained from argument []"},
    {"WiderThan32Bits", {"-d", "140F5849A"}, 1, 0, "Invalid serial number obtained from argument [140F5849A]"},
    {"SignRefused", {"-d", "+1F"}, 1, 0, "Invalid serial number obtained from argument [+1F]"},
    {"AttachedIsUnknownAndNamed", {"-d40F5849A"}, 0, 0, "Unknown option: [-d40F5849A]"},
    {"DashLedArgumentDropsOptionAndFailsTheCommand", {"-d", "-D"}, 1, 0, "Option [-d] requires an argument"},
};

INSTANTIATE_TEST_SUITE_P(Cases, SerialArguments, ::testing::ValuesIn(kSerialCases),
                         [](const ::testing::TestParamInfo<SerialCase>& info) { return std::string(info.param.name); });

TEST_F(ParamsTest, HexPrefixDiscardingIsLoggedUnderUpdaterPackage) {
  ASSERT_EQ(parse({"-r", "0xD272031D"}), 0);
  EXPECT_EQ(params_.routerSerialNumber, 0xD272031Du);
  EXPECT_EQ(logText(), "");
  ASSERT_EQ(parse({"-X", "1", "-r", "0xD272031D", "-d", "0X12"}), 0);
  EXPECT_EQ(logText(),
            "Discarding '0x' router serial number prefix\n"
            "Discarding '0x' serial number prefix\n");
}

TEST_F(ParamsTest, InvalidRouterSerialNumber) {
  EXPECT_EQ(parse({"-r", "zz"}), 1);
  ASSERT_EQ(display_.errors.size(), 1u);
  EXPECT_EQ(display_.errors[0], "Invalid router serial number obtained from argument [zz]");
}

struct TransportCase {
  const char* argument;
  linkType transport;
  int result;
};

TEST_F(ParamsTest, Transports) {
  const TransportCase cases[] = {{"USB", linkTypeUSB, 0},          {"TCP", linkTypeTCPIP, 0},
                                 {"TCPIP", linkTypeTCPIP, 0},      {"RECOVER", linkTypeRecover, 0},
                                 {"USBX", linkTypeUSB, 0},         {"usb", linkTypeAny, 1},
                                 {"RECOVE", linkTypeAny, 1},       {"", linkTypeAny, 1}};
  for (const TransportCase& c : cases) {
    display_.errors.clear();
    std::string word = std::string("-t=") + c.argument;
    EXPECT_EQ(parse({word}), c.result) << c.argument;
    EXPECT_EQ(params_.transport, c.transport) << c.argument;
    EXPECT_TRUE(params_.transportGiven) << c.argument;
    if (c.result == 1) {
      ASSERT_EQ(display_.errors.size(), 1u) << c.argument;
      EXPECT_EQ(display_.errors[0], std::string("Invalid transport type:[") + c.argument +
                                        "]\nMust be one of the following: USB, TCPIP, RECOVER");
    } else {
      EXPECT_TRUE(display_.errors.empty()) << c.argument;
    }
  }
}

struct NumberCase {
  const char* argument;
  const char* build;
  uint32_t baud;
};

TEST_F(ParamsTest, BuildAndBaudAreDecimal) {
  const NumberCase cases[] = {{"99528558", "99528558", 99528558}, {"007", "7", 7},
                              {"4294967295", "4294967295", 4294967295u}};
  for (const NumberCase& c : cases) {
    ASSERT_EQ(parse({std::string("-b=") + c.argument, std::string("-o=") + c.argument}), 0) << c.argument;
    EXPECT_EQ(params_.build, c.build) << c.argument;
    EXPECT_EQ(params_.baudRate, c.baud) << c.argument;
  }
}

// A build that is not a plain decimal number fitting 32 bits fails the parse, like a bad -d;
// taken as "no build" it would make -U install the latest build instead.
TEST_F(ParamsTest, InvalidBuildNumberFailsTheParse) {
  for (const char* argument : {"1234x", "abc", "-5", "0x4D2", "99999999999", "4294967296", "", "0"}) {
    display_.errors.clear();
    EXPECT_EQ(parse({"-U", "-d", "5", std::string("-b=") + argument}), 1) << argument;
    EXPECT_EQ(params_.build, "") << argument;
    ASSERT_EQ(display_.errors.size(), 1u) << argument;
    EXPECT_EQ(display_.errors[0], std::string("Invalid build number obtained from argument [") + argument + "]");
  }
}

TEST_F(ParamsTest, UnhandledCommandFailsButParsingGoesOn) {
  EXPECT_EQ(parse({"-Y", "-D", "-d", "5"}), 1);
  ASSERT_EQ(display_.errors.size(), 1u);
  EXPECT_EQ(display_.errors[0], "Unhandled command: [-Y]");
  EXPECT_TRUE(params_.commands.IsSet(CMD_DISCOVER));
  EXPECT_EQ(params_.serialNumber, 5u);
}

TEST_F(ParamsTest, EveryParseErrorIsReported) {
  EXPECT_EQ(parse({"-d", "xyz", "-r", "q", "-t", "serial", "-Y"}), 1);
  EXPECT_EQ(display_.errors.size(), 4u);
}

// Options the parser cannot take and words that are no option's value are all named; with a
// command on the line the parse then fails, so that nothing is done.
TEST_F(ParamsTest, RejectedOptionsAreNamed) {
  EXPECT_EQ(parse({"-DU", "-Q", "-D=1", "-e", "-D", "-d", "1", "-help", "-O", "stray", "-u"}), 1);
  EXPECT_EQ(display_.errors, (std::vector<std::string>{
                                 "Unknown option: [-DU]",
                                 "Unknown option: [-Q]",
                                 "Option [-D] takes no argument",
                                 "Option [-e] requires an argument",
                                 "Unknown option: [-help]",
                                 "Option [-u] requires an argument",
                                 "Unexpected word on the command line: [stray]",
                             }));
  EXPECT_EQ(params_.commands.Mask(), static_cast<uint32_t>(CMD_DISCOVER));
  EXPECT_TRUE(params_.overrideModelCheck);
  EXPECT_FALSE(params_.echoBytes);
  EXPECT_EQ(params_.serialNumber, 1u);
  EXPECT_FALSE(params_.helpRequested);
}

// With any command, a command line that was not understood fails the parse: "-F" was meant to
// name the file to install, and a bird file named without -f would leave the stored build to be
// installed.
TEST_F(ParamsTest, MisunderstoodCommandLineWithAnyCommandFails) {
  const std::string existing = ::testing::TempDir() + "params_test_fw.bird";
  FILE* file = fopen(existing.c_str(), "w");
  ASSERT_NE(file, nullptr);
  fclose(file);
  struct {
    std::vector<std::string> words;
    std::vector<std::string> errors;
  } cases[] = {
      {{"-U", "-d", "5", "-F", "mine.bird"},
       {"Unknown option: [-F]", "Unexpected word on the command line: [mine.bird]"}},
      {{"-G", "-d", "5", "-b"}, {"Option [-b] requires an argument"}},
      {{"-U", "-t", "RECOVER", "-s=/dev/ttyS0", "-x"}, {"Unknown option: [-x]"}},
      {{"-e", "-U", "-d", "1"}, {"Option [-e] requires an argument"}},
      {{"-G", "-U=1", "-d", "5"}, {"Option [-U] takes no argument"}},
      {{"-B", "-G", "-d", "5", "-OVERRIDE=1"}, {"Option [-OVERRIDE] takes no argument"}},
      {{"-U", "-d", "5", "-"}, {"Unknown option: [-]"}},
      {{"-D", "-Q"}, {"Unknown option: [-Q]"}},
      {{"-U", "-d", "5", existing}, {"Unexpected word on the command line: [" + existing + "]; did you mean -f?"}},
      {{"-G", "-d", "5", "1234"}, {"Unexpected word on the command line: [1234]"}},
      {{"-C", "stray", "-f", existing}, {"Unexpected word on the command line: [stray]"}},
      {{"-N", "-s", "/dev/ttyS0", "115200"}, {"Unexpected word on the command line: [115200]"}},
      {{"-D", "USB", "\x1b[2J"}, {"Unexpected word on the command line: [USB]",
                                   "Unexpected word on the command line: [?[2J]"}},
      {{"-I", "-d", "5", "-Q", "x"}, {"Unknown option: [-Q]", "Unexpected word on the command line: [x]"}},
      {{"-B", "-d", "5", "more"}, {"Unexpected word on the command line: [more]"}},
  };
  for (const auto& c : cases) {
    display_.errors.clear();
    EXPECT_EQ(parse(c.words), 1) << c.errors[0];
    EXPECT_EQ(display_.errors, c.errors);
  }
  remove(existing.c_str());
}

// Without a command there is nothing to do: stray words are not named and the usage follows.
TEST_F(ParamsTest, StrayWordsWithoutACommandAreLeftToTheUsage) {
  EXPECT_EQ(parse({"fw.bird", "-d", "5", "more"}), 0);
  EXPECT_TRUE(display_.errors.empty());
  EXPECT_EQ(params_.commands.Mask(), 0u);
}

TEST_F(ParamsTest, HelpStopsParsingAndSucceeds) {
  const char* helps[] = {"-h", "-H", "--help", "--h", "--he"};
  for (const char* help : helps) {
    display_.errors.clear();
    EXPECT_EQ(parse({"-d", "xyz", help, "-D", "-t", "bad"}), 0) << help;
    EXPECT_TRUE(params_.helpRequested) << help;
    EXPECT_TRUE(params_.commands.IsSet(CMD_HELP)) << help;
    EXPECT_FALSE(params_.commands.IsSet(CMD_DISCOVER)) << help;
    EXPECT_FALSE(params_.transportGiven) << help;
    EXPECT_EQ(display_.errors.size(), 1u) << help;  // only the serial number before it
  }
}

TEST_F(ParamsTest, HelpWithArgumentIsDropped) {
  EXPECT_EQ(parse({"--help=1", "-h=yes"}), 0);
  EXPECT_FALSE(params_.helpRequested);
}

struct MaskCase {
  const char* argument;
  uint32_t activated;   // Log::package_bitmask afterwards
  const char* error;    // nullptr: none
};

class LogMasks : public ParamsTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(LogMasks, ActivateOrReport) {
  const MaskCase& c = GetParam();
  EXPECT_EQ(parse({std::string("-X=") + c.argument}), 0);
  EXPECT_EQ(Log::package_bitmask, c.activated);
  EXPECT_TRUE(params_.extendedUsage);
  if (c.error == nullptr) {
    EXPECT_TRUE(display_.errors.empty());
  } else {
    ASSERT_EQ(display_.errors.size(), 1u);
    EXPECT_EQ(display_.errors[0], c.error);
  }
}

const MaskCase kMaskCases[] = {
    {"0x10000", 0x10000, nullptr},
    {"0X400", 0x400, nullptr},
    {"65536", 0x10000, nullptr},
    {"0x1FFFFFFFF", 0xFFFFFFFF, nullptr},  // all 32 bits of the value
    {"0x10000zz", 0, "Invalid format for \"-X\" parameter, unprocessed characters [zz]"},
    {"12abc", 0, "Invalid format for \"-X\" parameter, unprocessed characters [abc]"},
    {"abc", 0, "Invalid format for \"-X\" parameter, unprocessed characters [abc]"},
    {"0x", 0, "Invalid format for \"-X\" parameter, unprocessed characters [x]"},
};

INSTANTIATE_TEST_SUITE_P(Cases, LogMasks, ::testing::ValuesIn(kMaskCases));

TEST_F(ParamsTest, ApplicationParametersLoggedOnlyWithAppPackage) {
  ASSERT_EQ(parse({"-D", "stray", "-d", "40F5849A"}), 1);
  EXPECT_EQ(logText(), "");
  ASSERT_EQ(parse({"-X", "0x10000", "stray", "-D"}), 1);
  EXPECT_EQ(logText(),
            "\nApplication parameters:[Updater]\n"
            "\t[/usr/local/bin/Updater]\n\t[-X]\n\t[0x10000]\n\t[-D]\n\t[stray]\n");
}

TEST_F(ParamsTest, HomeDirectoryIsFetched) {
  ASSERT_EQ(parse({}), 0);
  EXPECT_NE(params_.homeDirectory[0], '\0');
}

struct DigitCase {
  const char* text;
  uint32_t hex;
  uint32_t decimal;
  bool hexEnds;      // *end set by the hex conversion
  bool decimalEnds;  // *end set by the decimal conversion
};

TEST(DigitArguments, HexAndIntConversion) {
  const DigitCase cases[] = {
      {"", 0, 0, true, true},
      {"0", 0, 0, true, true},
      {"123", 0x123, 123, true, true},
      {"ff", 0xFF, 0, true, false},
      {"FFFFFFFF", 0xFFFFFFFF, 0, true, false},
      {"100000000", 0, 100000000, false, true},
      {"4294967295", 0, 4294967295u, false, true},
      {"4294967296", 0, 0, false, false},
      {"00000000000000000001", 1, 1, true, true},
      {"0x12", 0, 0, false, false},
      {" 12", 0, 0, false, false},
      {"-1", 0, 0, false, false},
      {"12G4", 0, 0, false, false},
  };
  for (const DigitCase& c : cases) {
    char sentinel[] = "untouched";
    char* end = sentinel;
    EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex) << "hex " << c.text;
    EXPECT_EQ(end == sentinel, !c.hexEnds) << "hex " << c.text;
    if (c.hexEnds) {
      EXPECT_EQ(end, c.text + strlen(c.text)) << "hex " << c.text;
    }
    end = sentinel;
    EXPECT_EQ(_get_int_arg(c.text, &end), c.decimal) << "decimal " << c.text;
    EXPECT_EQ(end == sentinel, !c.decimalEnds) << "decimal " << c.text;
    if (c.decimalEnds) {
      EXPECT_EQ(end, c.text + strlen(c.text)) << "decimal " << c.text;
    }
  }
}

TEST(DigitArguments, NullEndGivesZero) {
  EXPECT_EQ(_get_hex_arg("12", nullptr), 0u);
  EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

TEST(Commands, SetAndGroupTest) {
  CommandsClass commands;
  EXPECT_FALSE(commands.IsSet(CMD_ANY));
  commands.Set(CMD_Z);
  EXPECT_TRUE(commands.IsSet(CMD_ANY));
  EXPECT_FALSE(commands.IsSet(CMD_DISCOVER | CMD_UPDATE));
  commands.Set(CMD_UPDATE);
  EXPECT_TRUE(commands.IsSet(CMD_DISCOVER | CMD_UPDATE));
  EXPECT_FALSE(commands.IsSet(CMD_HELP));
  EXPECT_EQ(static_cast<uint32_t>(CMD_ANY), 0x000305FFu);
  CommandsClass help;
  help.Set(CMD_HELP);
  EXPECT_FALSE(help.IsSet(CMD_ANY));
}

TEST(Parameters, ReleaseReturnsZero) {
  Parameters params;
  EXPECT_EQ(_release_params(&params), 0);
  EXPECT_EQ(_validate_params(&params), 0);
}

}  // namespace
