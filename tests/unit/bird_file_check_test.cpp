// The checks the update flow and -C apply to a bird file, the cause a file that does not load
// reports, and the store's read-only view of a device (-I).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/BirdFile.h"
#include "firmware/BirdFileCheck.h"
#include "store/StoredDevice.h"
#include "store_test_support.h"

using store_test::MakeBird;
using store_test::TempDir;

namespace {

const char* const kLoader = "--loader=0x10000000:count:32";
const char* const kFirmware = "--firmware=0:count:512";
const char* const kSpecificInfo = "--info=build=1234,version=3.2.1,serial=0x0F5849A1,model=Osprey";
const char* const kGenericInfo = "--info=build=1235,version=3.2.2,serial=0,model=Osprey";
constexpr unsigned int kSerial = 0x0F5849A1;

struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  unsigned int serial;           // the device named; 0 for none
  const char* missingImage;      // what _bird_image_refusal names, "" when both images are there
  const char* fileRefusal;       // _bird_file_refusal, "" when it passes
  const char* serialRefusal;     // _bird_serial_refusal
};

TEST(BirdFileCheckTest, FileChecksGiveTheUpdateFlowsReasons) {
  const std::vector<RefusalCase> cases = {
      {"sound device-specific", {kLoader, kFirmware, kSpecificInfo}, kSerial, "", "", ""},
      {"sound device-specific, no device named", {kLoader, kFirmware, kSpecificInfo}, 0, "", "", ""},
      {"sound generic", {kLoader, kFirmware, kGenericInfo, "--serial-offsets=0x100:0x120"}, 0x12345678, "", "",
       ""},
      {"wrong serial number", {kLoader, kFirmware, kSpecificInfo}, 0x0F5849A2, "",
       "Bird serial number 0F5849A1 does not match device 0F5849A2", ""},
      {"no firmware image", {kLoader, kSpecificInfo}, kSerial, "firmware", "", ""},
      {"firmware block of its address only", {kLoader, "--firmware=0:", kSpecificInfo}, kSerial, "firmware", "",
       ""},
      {"no loader image", {kFirmware, kSpecificInfo}, kSerial, "loader", "", ""},
      {"no blocks", {}, kSerial, "loader", "Bird file holds no blocks", ""},
      {"generic offsets outside the image", {kLoader, kFirmware, kGenericInfo, "--serial-offsets=0x9000:0x9100"},
       kSerial, "", "", "Unable to modify serial number in bird."},
  };
  TempDir dir;
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = MakeBird(dir / "check.bird", c.args);
    BirdFile bird(path.c_str());
    const std::string missing = c.missingImage;
    EXPECT_EQ(missing.empty() ? "" : "Bird file " + path + " holds no usable " + missing + " image",
              _bird_image_refusal(bird));
    EXPECT_EQ(c.fileRefusal, _bird_file_refusal(bird, c.serial));
    EXPECT_EQ(c.serialRefusal, _bird_serial_refusal(bird, c.serial));
  }
}

TEST(BirdFileCheckTest, DeviceChecksCompareSerialNumberAndModel) {
  TempDir dir;
  BirdFile bird(MakeBird(dir / "device.bird", {kLoader, kFirmware, kSpecificInfo}).c_str());
  struct {
    DeviceIdentity device;
    const char* refusal;
  } cases[] = {
      {{kSerial, "Osprey"}, ""},
      {{kSerial, "Kestrel"}, "Connected device model and Bird file model do not match [Kestrel]"},
      {{0, "Osprey"}, "Bird serial number and connected device don't match."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device.modelName);
    EXPECT_EQ(c.refusal, _bird_device_refusal(bird, kSerial, c.device));
  }
}

TEST(BirdFileCheckTest, LoadFailureCarriesItsCause) {
  TempDir dir;
  struct {
    const char* name;
    std::vector<std::string> args;
    const char* reason;
  } cases[] = {
      {"broken zlib", {kFirmware, "--corrupt-zlib=garbage"}, "zlib error -3 decompressing the block list"},
      {"truncated", {kLoader, kFirmware, kSpecificInfo, "--corrupt-zlib=truncate"},
       "zlib error -3 decompressing the block list"},
      {"header only", {"--truncate-file=6"}, "file too short (6 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = MakeBird(dir / "broken.bird", c.args);
    try {
      BirdFile bird(path.c_str());
      ADD_FAILURE() << "loaded";
    } catch (const BirdFileLoadError& error) {
      EXPECT_STREQ("Failed to load bird data", error.what());
      EXPECT_EQ(c.reason, error.reason());
    }
  }
  try {
    BirdFile bird((dir / "absent.bird").c_str());
    ADD_FAILURE() << "loaded";
  } catch (const BirdFileLoadError& error) {
    EXPECT_EQ("file not found", error.reason());
  }
}

TEST(BirdFileCheckTest, BlockListMismatchIsKept) {
  TempDir dir;
  BirdFile miscounted(MakeBird(dir / "count.bird", {kFirmware, kSpecificInfo, "--count=3"}).c_str());
  EXPECT_EQ("Block parsing mismatch in number of blocks. (2 != 3)", miscounted.blockListProblem);
  BirdFile sound(MakeBird(dir / "sound.bird", {kLoader, kFirmware, kSpecificInfo}).c_str());
  EXPECT_EQ("", sound.blockListProblem);
  EXPECT_EQ("Osprey", sound.GetModel());
}

// Every way a file is not what its format promises is named; a sound file has no fault. The
// block list holds loader (4 + 5 + 36 bytes), firmware (5 + 516) and information (5 + 64) blocks.
TEST(BirdFileCheckTest, FaultsNameEverythingThatDoesNotAddUp) {
  struct Case {
    const char* name;
    std::vector<std::string> extra;
    std::vector<std::string> faults;
  };
  const std::vector<Case> cases = {
      {"sound", {}, {}},
      {"count too high", {"--count=4"}, {"the block list reports 4 blocks but holds 3"}},
      {"count too low", {"--count=2"}, {"the block list reports 2 blocks but holds 3"}},
      {"bytes after the checksum", {"--trailing=hex:000007"}, {"3 bytes after the block list's checksum"}},
      {"one byte after the checksum", {"--trailing=hex:00"}, {"1 bytes after the block list's checksum"}},
      {"no checksum", {"--no-checksum"}, {"the block list ends without its checksum (0 bytes left)"}},
      {"cut inside the firmware block", {"--truncate-list=154"},
       {"block 2 (type 1, 516 bytes) runs past the end of the block list (104 bytes left)"}},
      {"cut inside a block header", {"--truncate-list=47"},
       {"block 2 of 3 is cut off: the block list ends 2 bytes after the previous block"}},
      {"foreign signature", {"--signature=BIRD"}, {"the signature is 0x42495244, not \"bird\""}},
      {"version byte 0", {"--format-version=0x0100"}, {"the format version 0x0100 has a zero byte"}},
      {"version 0", {"--format-version=0"}, {"the format version 0x0000 has a zero byte"}},
      {"two faults", {"--format-version=0x0001", "--count=9"},
       {"the format version 0x0001 has a zero byte", "the block list reports 9 blocks but holds 3"}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {kLoader, kFirmware, kSpecificInfo};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    BirdFile bird(MakeBird(dir / "faults.bird", args).c_str());
    EXPECT_EQ(c.faults, bird.Faults());
    std::string joined;
    for (const std::string& fault : c.faults) joined += (joined.empty() ? "" : "; ") + fault;
    EXPECT_EQ(joined, _bird_integrity_refusal(bird));
  }
  // A block whose length runs past the end, as the first block.
  BirdFile huge(MakeBird(dir / "huge.bird", {"--firmware=0:count:16;length=0xFFFFFFFF", kSpecificInfo}).c_str());
  EXPECT_EQ(std::vector<std::string>{"block 1 (type 1, 4294967295 bytes) runs past the end of the block list "
                                     "(93 bytes left)"},
            huge.Faults());
  EXPECT_TRUE(huge.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty());
}

TEST(BirdFileCheckTest, BuildRefusalNamesBothNumbers) {
  TempDir dir;
  BirdFile bird(MakeBird(dir / "1234.bird", {kLoader, kFirmware, kSpecificInfo}).c_str());
  EXPECT_EQ("", _bird_build_refusal(bird, 0));
  EXPECT_EQ("", _bird_build_refusal(bird, 1234));
  EXPECT_EQ("Bird file " + (dir / "1234.bird") + " holds build 1234, not build 999", _bird_build_refusal(bird, 999));
  // A file without an information block names no build.
  BirdFile bare(MakeBird(dir / "bare.bird", {kLoader, kFirmware}).c_str());
  EXPECT_EQ("", _bird_build_refusal(bare, 999));
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

TEST(StoredDeviceTest, ReadsDirectorySettingsAndBuildsWithoutChangingTheStore) {
  TempDir root;
  const std::string device = root / "0F5849A1";
  ASSERT_EQ(0, mkdir(device.c_str(), 0755));
  MakeBird(device + "/1234.bird", {kLoader, kFirmware, kSpecificInfo});
  MakeBird(device + "/99.bird", {kLoader, kFirmware, "--info=build=99,version=0.9,serial=0x0F5849A1,model=Osprey"});
  MakeBird(device + "/7.bird", {kFirmware, "--corrupt-zlib=garbage"});
  MakeBird(device + "/8.bird", {kFirmware, "--format-version=0x0100"});
  MakeBird(device + "/notes.txt", {kFirmware});

  StoredDevice stored;
  ASSERT_TRUE(ReadStoredDevice(root.path(), kSerial, stored));
  EXPECT_EQ(device, stored.directory);
  EXPECT_FALSE(stored.hasSettings);
  EXPECT_FALSE(Exists(device + "/.settings"));  // a view creates no settings file
  ASSERT_EQ(4u, stored.builds.size());
  EXPECT_EQ("7.bird", stored.builds[0].fileName);
  EXPECT_EQ("Failed to load bird data: zlib error -3 decompressing the block list", stored.builds[0].problem);
  EXPECT_EQ("8.bird", stored.builds[1].fileName);
  EXPECT_EQ("Invalid bird " + device + "/8.bird", stored.builds[1].problem);
  EXPECT_EQ("99.bird", stored.builds[2].fileName);
  EXPECT_EQ(99u, stored.builds[2].build);
  EXPECT_EQ("0.9", stored.builds[2].version);
  EXPECT_EQ("1234.bird", stored.builds[3].fileName);
  EXPECT_EQ("", stored.builds[3].problem);
  EXPECT_EQ("3.2.1", stored.builds[3].version);

  {
    std::ofstream settings(device + "/.settings");
    settings << "LATEST_DOWNLOAD=1234.bird\nOTHER=x\n";
  }
  ASSERT_TRUE(ReadStoredDevice(root.path(), kSerial, stored));
  EXPECT_TRUE(stored.hasSettings);
  EXPECT_EQ((std::map<std::string, std::string>{{"LATEST_DOWNLOAD", "1234.bird"}, {"OTHER", "x"}}), stored.settings);

  EXPECT_FALSE(ReadStoredDevice(root.path(), 0x0F5849A2, stored));
  EXPECT_FALSE(Exists(root / "0F5849A2"));
}

}  // namespace
