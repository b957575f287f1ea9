// The devices of the command line: -d lists, repeated -d, -d all and -j, and when a run goes over
// several devices.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ParamParser.h"
#include "Parameters.h"
#include "RecordingDisplay.h"

namespace {

class DeviceListTest : public ::testing::Test {
 protected:
  int parse(std::vector<std::string> words) {
    storage_ = {"Updater"};
    storage_.insert(storage_.end(), words.begin(), words.end());
    pointers_.clear();
    for (std::string& word : storage_) pointers_.push_back(&word[0]);
    pointers_.push_back(nullptr);
    return _get_params(display_, static_cast<int>(storage_.size()), pointers_.data(), &params_);
  }

  Parameters params_;
  RecordingDisplay display_;
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

TEST_F(DeviceListTest, ListsAndRepeatsNameEachDeviceOnceInOrder) {
  struct Case {
    std::vector<std::string> words;
    std::vector<uint32_t> devices;
    bool several;
  };
  const Case cases[] = {
      {{"-U", "-d", "0F5849A1"}, {0x0F5849A1}, false},
      {{"-U", "-d", "0F5849A1", "-d", "0x0f5849a1"}, {0x0F5849A1}, false},
      {{"-U", "-d", "0F5849A1,D272031D"}, {0x0F5849A1, 0xD272031D}, true},
      {{"-U", "-d", "D272031D", "-d=0F5849A1,D272031D,0x11"}, {0xD272031D, 0x0F5849A1, 0x11}, true},
      {{"-G", "-d", "0F5849A1", "-j", "2"}, {0x0F5849A1}, true},
      {{"-U", "-d", "all", "-j", "2"}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.back());
    ASSERT_EQ(parse(c.words), 0);
    EXPECT_EQ(params_.deviceSerials, c.devices);
    EXPECT_EQ(params_.serialNumber, c.devices.empty() ? 0u : c.devices.front());
    EXPECT_EQ(params_.SeveralDevices(), c.several);
    EXPECT_TRUE(display_.errors.empty());
  }
}

TEST_F(DeviceListTest, AllIsEveryModuleFound) {
  ASSERT_EQ(parse({"-U", "-d", "all"}), 0);
  EXPECT_TRUE(params_.allDevices);
  EXPECT_TRUE(params_.SeveralDevices());
  EXPECT_EQ(params_.serialNumber, 0u);
}

TEST_F(DeviceListTest, AnUnreadableItemFailsTheParseNamingIt) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0F5849A1,xyz", "Invalid serial number obtained from argument [xyz]"},
      {"0F5849A1,", "Invalid serial number obtained from argument []"},
      {",0F5849A1", "Invalid serial number obtained from argument []"},
      {"0F5849A1,0", "Invalid serial number obtained from argument [0]"},
      {"ALL", "Invalid serial number obtained from argument [ALL]"},
  };
  for (const auto& [argument, line] : cases) {
    SCOPED_TRACE(argument);
    display_.errors.clear();
    EXPECT_EQ(parse({"-U", "-d", argument}), 1);
    EXPECT_EQ(display_.errors, std::vector<std::string>{line});
  }
}

TEST_F(DeviceListTest, DevicesAtOnceIsBetweenOneAndSixtyFour) {
  ASSERT_EQ(parse({"-U", "-d", "1,2", "-j", "64"}), 0);
  EXPECT_EQ(params_.devicesAtOnce, 64u);
  for (const char* bad : {"0", "65", "x", "4x"}) {
    SCOPED_TRACE(bad);
    display_.errors.clear();
    EXPECT_EQ(parse({"-U", "-d", "1,2", "-j", bad}), 1);
    EXPECT_EQ(display_.errors, std::vector<std::string>{
                                   std::string("Invalid number of devices at a time obtained from argument [") + bad +
                                   "]: 1 to 64"});
  }
}

TEST_F(DeviceListTest, ANegativeCountIsNamedAsSuchNotTakenForAnOption) {
  for (const char* bad : {"-1", "-0", "-64"}) {
    SCOPED_TRACE(bad);
    display_.errors.clear();
    EXPECT_EQ(parse({"-U", "-d", "1,2", "-j", bad}), 1);
    EXPECT_EQ(display_.errors, std::vector<std::string>{std::string("Invalid number of devices at a time obtained "
                                                                    "from argument [") +
                                                        bad + "]: the count must be a positive number, 1 to 64"});
  }
}

// -j means nothing without devices for -U or -G: it is refused like an option not understood,
// which fails any command line that holds a command.
TEST_F(DeviceListTest, DevicesAtOnceWithoutSeveralDevicesIsRefused) {
  const std::vector<std::vector<std::string>> lines = {
      {"-D", "-j", "2"},
      {"-I", "-d", "0F5849A1", "-j", "2"},
      {"-B", "-d", "0F5849A1", "-j", "2"},
      {"-N", "-s", "/dev/ttyS0", "-j", "2"},
      {"-U", "-j", "2"},
      {"-G", "-b", "12", "-j=3"},
  };
  for (const auto& words : lines) {
    SCOPED_TRACE(words.front());
    display_.errors.clear();
    EXPECT_EQ(parse(words), 1);
    EXPECT_EQ(display_.errors, std::vector<std::string>{"Option [-j] is taken by -U and -G with -d only"});
  }
  display_.errors.clear();
  EXPECT_EQ(parse({"-j", "2"}), 0);  // no command: the usage is shown, as for any option not understood
  EXPECT_EQ(display_.errors, std::vector<std::string>{"Option [-j] is taken by -U and -G with -d only"});
}

}  // namespace
