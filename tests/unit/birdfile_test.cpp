// Bird files: loading (good and malformed files written by sim/mkbird.py), block records, the
// information block, serial-number replacement, recovery decoding, ownership and log lines.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "firmware/BirdFile.h"
#include "store_test_support.h"

using store_test::LogCapture;
using store_test::MakeBird;
using store_test::TempDir;

namespace {

const char* const kInfo = "--info=build=1234,version=1.2.3,serial=0x0012ABCD,model=Osprey";

std::vector<unsigned char> Image(const BirdBlock& block) {
  return std::vector<unsigned char>(block.image(), block.image() + block.imageLength());
}

size_t FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
}

class BirdFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string Make(const std::string& name, const std::vector<std::string>& args) {
    return MakeBird(dir / name, args);
  }
};

struct LoadCase {
  const char* name;
  std::vector<std::string> args;
  bool verifies;        // VerifyFile
  bool loads;           // the constructor does not throw
  uint32_t blockCount;  // when it loads
  const char* logged;   // a log line part that must appear ("" for none)
  bool consistent;      // no "Block parsing mismatch" line
};

const std::vector<LoadCase>& LoadCases() {
  static const std::vector<LoadCase> cases = {
      {"well-formed", {"--loader", "0x10000000:count:16", "--firmware", "0:count:64", kInfo}, true, true, 3,
       "File checksum", true},
      {"second version byte zero", {kInfo, "--format-version", "0x0100"}, false, true, 1, "", true},
      {"first version byte zero", {kInfo, "--format-version", "0x0001"}, false, true, 1, "", true},
      {"foreign signature", {kInfo, "--signature", "BIRD"}, false, true, 1, "", true},
      {"header only (6 bytes)", {"--payload", ""}, true, false, 0, "too short", true},
      {"five bytes", {kInfo, "--truncate-file", "5"}, false, false, 0, "too short", true},
      {"zlib checksum damaged", {kInfo, "--corrupt-zlib", "adler"}, true, false, 0,
       "BIRDFILE: Error (-3) decompressing bird file.\n", true},
      {"zlib header damaged", {kInfo, "--corrupt-zlib", "header"}, true, false, 0,
       "BIRDFILE: Error (-3) decompressing bird file.\n", true},
      {"zlib stream cut short", {"--firmware", "0:count:300", "--corrupt-zlib", "truncate"}, true, false, 0,
       "BIRDFILE: Error (-3) decompressing bird file.\n", true},
      {"zlib replaced by junk", {kInfo, "--corrupt-zlib", "garbage"}, true, false, 0, "decompressing bird file", true},
      {"count 3, holds 2", {"--firmware", "0:count:8", kInfo, "--count", "3"}, true, true, 2,
       "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n", false},
      {"zero blocks", {}, true, true, 0, "File reports 0 blocks", true},
      {"zero blocks reported, one held", {kInfo, "--count", "0"}, true, true, 1, "(1 != 0)", false},
      {"length near 2^32", {kInfo, "--firmware", "0:count:16;length=0xFFFFFFFF"}, true, true, 1,
       "BIRDFILE: Block parsing mismatch in data size.", false},
      {"length runs past the end", {kInfo, "--firmware", "0:count:16;length=0x100"}, true, true, 1,
       "BIRDFILE: Block parsing mismatch in data size.", false},
      {"no checksum", {kInfo, "--no-checksum"}, true, true, 1, "BIRDFILE: Block parsing mismatch in data size.",
       false},
      {"block list shorter than its count", {kInfo, "--truncate-list", "2"}, true, true, 0,
       "BIRDFILE: Block parsing mismatch in data size.", false},
      {"empty block list", {"--truncate-list", "0"}, true, true, 0, "BIRDFILE: Block parsing mismatch in data size.",
       false},
  };
  return cases;
}

TEST_F(BirdFileTest, LoadsOrRefusesEachFileAsFormatted) {
  for (const LoadCase& c : LoadCases()) {
    SCOPED_TRACE(c.name);
    std::string path = Make(std::string(c.name) + ".bird", c.args);
    LogCapture log(DEBUG_BirdFile);
    EXPECT_EQ(c.verifies, BirdFile::VerifyFile(path.c_str()));
    bool loaded = false;
    try {
      BirdFile bird(path.c_str());
      loaded = true;
      EXPECT_EQ(c.blockCount, bird.blockCount);
      EXPECT_EQ(c.blockCount, bird.Blocks().size());
      EXPECT_EQ(path, bird.filename);
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ("Failed to load bird data", error.what());
    }
    EXPECT_EQ(c.loads, loaded);
    if (c.logged[0] != '\0') {
      EXPECT_TRUE(log.contains(c.logged)) << log.text();
    }
    if (c.loads) {
      EXPECT_EQ(!c.consistent, log.contains("Block parsing mismatch")) << log.text();
    }
  }
}

TEST_F(BirdFileTest, HeaderFieldsAreReadButNotChecked) {
  std::string path = Make("foreign.bird", {kInfo, "--signature", "BIRD", "--format-version", "0x0100"});
  BirdFile bird(path.c_str());
  EXPECT_EQ(0x42495244u, bird.signature);
  EXPECT_EQ(0x0100, bird.version);
}

TEST_F(BirdFileTest, MissingFileIsRefusedAndLogged) {
  std::string path = dir / "absent.bird";
  LogCapture log(DEBUG_BirdFile);
  EXPECT_FALSE(BirdFile::VerifyFile(path.c_str()));
  EXPECT_TRUE(log.contains("BIRDFILE: Error - cannot open bird file: '" + path + "'\n"));
  EXPECT_THROW(BirdFile bird(path.c_str()), std::runtime_error);
  EXPECT_TRUE(log.contains("BIRDFILE: Loading File [" + path + "]\n"));
  EXPECT_TRUE(log.contains("BIRDFILE: BIRD file not found [" + path + "]\n"));
}

// Erased flash (0xFF) compresses far better than 8:1; such a file must load.
TEST_F(BirdFileTest, ImageCompressingBetterThan64To1Loads) {
  std::string path = Make("erased.bird", {"--firmware", "0:fill:0x40000:FF", kInfo});
  BirdFile bird(path.c_str());
  size_t compressed = FileSize(path) - 6;
  EXPECT_GT(bird.DataSize(), 64 * compressed);
  ASSERT_EQ(1u, bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size());
  BirdBlock firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
  EXPECT_EQ(0x40000u + 4, firmware.length);
  EXPECT_EQ(std::vector<unsigned char>(0x40000, 0xFF), Image(firmware));
  EXPECT_EQ(0x0012ABCDu, bird.GetSerialNumber());
}

// The inflated block list may be 64 MiB at most; one byte more and the file is refused.
TEST_F(BirdFileTest, BlockListSizeIsBoundedAt64MiB) {
  const size_t overhead = 4 + 5 + 4 + 4;  // count, block header, address, checksum
  const size_t atBound = BirdFile::MAX_INFLATED_SIZE - overhead;
  struct {
    size_t imageSize;
    bool loads;
  } cases[] = {{atBound, true}, {atBound + 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imageSize);
    std::string path = Make("big.bird", {"--firmware", "0:zeros:" + std::to_string(c.imageSize)});
    LogCapture log(DEBUG_BirdFile);
    bool loaded = false;
    try {
      BirdFile bird(path.c_str());
      loaded = true;
      EXPECT_EQ(BirdFile::MAX_INFLATED_SIZE, bird.DataSize());
      EXPECT_EQ(1u, bird.blockCount);
    } catch (const std::runtime_error&) {
      EXPECT_TRUE(log.contains("BIRDFILE: Error (-5) decompressing bird file.\n")) << log.text();
    }
    EXPECT_EQ(c.loads, loaded);
  }
}

TEST_F(BirdFileTest, BlocksCarryTypeFlagsLengthAddressAndPointIntoTheBuffer) {
  std::string path = Make("blocks.bird", {"--loader", "0x10000000:count:8;flags=3", "--raw", "0xE7:text:xyz",
                                          "--firmware", "0x2000:count:32;flags=7", "--start", "0x20000400",
                                          "--firmware", "0x3000:fill:4:AA", "--raw", "0x1F:", "--serial-offsets",
                                          "0x2010:0x2020", kInfo});
  BirdFile bird(path.c_str());
  struct Expected {
    uint8_t type, flags;
    uint32_t length, address;
  } expected[] = {{0, 3, 12, 0x10000000}, {7, 7, 3, 0},      {1, 7, 36, 0x2000}, {5, 0, 4, 0},
                  {1, 0, 8, 0x3000},      {31, 0, 0, 0},     {2, 0, 8, 0},       {4, 0, 64, 0}};
  ASSERT_EQ(8u, bird.blockCount);
  const unsigned char* begin = bird.Data();
  const unsigned char* end = begin + bird.DataSize();
  for (size_t i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    const BirdBlock& block = bird.Blocks()[i];
    EXPECT_EQ(expected[i].type, block.type);
    EXPECT_EQ(expected[i].flags, block.flags);
    EXPECT_EQ(expected[i].length, block.length);
    EXPECT_EQ(expected[i].address, block.address);
    EXPECT_TRUE(block.data >= begin && block.data + block.length <= end);
  }
  // Loader and firmware data begin with their big-endian address.
  const BirdBlock loader = bird.FindBlocks(BirdFile::BLOCK_LOADER).at(0);
  EXPECT_EQ(0, memcmp(loader.data, "\x10\x00\x00\x00\x00\x01\x02\x03", 8));
  EXPECT_EQ(0, memcmp(bird.Blocks()[1].data, "xyz", 3));
  std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(2u, firmware.size());
  EXPECT_EQ(0x2000u, firmware[0].address);
  EXPECT_EQ(0x3000u, firmware[1].address);
  EXPECT_EQ(bird.Blocks()[2].data, firmware[0].data);  // copies of the records, same bytes
  EXPECT_TRUE(bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(3)).empty());
  EXPECT_EQ(1u, bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(31)).size());
  EXPECT_TRUE(bird.serialReplaceable);
  EXPECT_EQ(0x2010u, bird.serialNumberOffset);
  EXPECT_EQ(0x2020u, bird.descriptorOffset);
}

TEST_F(BirdFileTest, SerialOffsetsComeFromTheFirstBlockAndShortOnesCountAsAbsent) {
  struct {
    const char* name;
    std::vector<std::string> args;
    bool replaceable;
    uint32_t serialOffset, descriptorOffset;
  } cases[] = {
      {"none", {kInfo}, false, 0, 0},
      {"two blocks", {"--serial-offsets", "0x10:0x20", "--serial-offsets", "0x30:0x40"}, true, 0x10, 0x20},
      {"serial only", {"--serial-offsets", "0x10"}, true, 0x10, 0},
      {"four bytes", {"--raw", "0x02:hex:00000010"}, true, 0x10, 0},
      {"two bytes", {"--raw", "0x02:hex:0010"}, true, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Make("offsets.bird", c.args);
    BirdFile bird(path.c_str());
    EXPECT_EQ(c.replaceable, bird.serialReplaceable);
    EXPECT_EQ(c.serialOffset, bird.serialNumberOffset);
    EXPECT_EQ(c.descriptorOffset, bird.descriptorOffset);
  }
}

TEST_F(BirdFileTest, LogsEveryLineOfALoad) {
  std::string path = Make("log.bird", {"--firmware", "0x100:hex:DEADBEEF;flags=2", "--serial-offsets", "0x10:0x20",
                                       "--info=build=1234,version=1.2.3,serial=0x0012ABCD,model=Osprey",
                                       "--checksum", "0xCAFEF00D"});
  LogCapture log(DEBUG_BirdFile);
  BirdFile bird(path.c_str());
  EXPECT_EQ(0xCAFEF00Du, bird.checksum);
  EXPECT_EQ("BIRDFILE: Loading File [" + path + "]\n" +
                "BIRDFILE:\t\t File reports 3 blocks\n"
                "BIRDFILE: Bird file objects:\n"
                "BIRDFILE: \t\tType Flags Length\n"
                "BIRDFILE:\t\t 01   02   8\n"
                "BIRDFILE:\t\t 02   00   8\n"
                "BIRDFILE:\t\t 04   00   64\n"
                "BIRDFILE:\t\t \t[1234            ]\n"
                "BIRDFILE:\t\t \t[1.2.3           ]\n"
                "BIRDFILE:\t\t \t[0012ABCD        ]\n"
                "BIRDFILE:\t\t \t[Osprey          ]\n"
                "BIRDFILE:\t\t File checksum CAFEF00D\n"
                "BIRDFILE: Offsets: Serial number: 16, Descriptor: 32\n",
            log.text());
}

TEST_F(BirdFileTest, LogIsSilentUnlessItsPackageIsEnabled) {
  std::string path = Make("quiet.bird", {kInfo});
  LogCapture log(DEBUG_Updater | DEBUG_Attributes);
  BirdFile bird(path.c_str());
  EXPECT_EQ("", log.text());
}

TEST_F(BirdFileTest, InformationBlockFields) {
  struct {
    const char* name;
    std::vector<std::string> args;
    uint32_t serial, build;
    const char* version;
  } cases[] = {
      {"hex serial", {kInfo}, 0x0012ABCD, 1234, "1.2.3"},
      {"serial field longer than 8", {"--info=build=7,version=2.0 beta,serial=0012ABCDEF,model=Osprey"},
       0x0012ABCD, 7, "2.0"},
      {"no information block", {"--firmware", "0:count:4"}, 0, 0, ""},
      {"first information block wins", {kInfo, "--info=build=9,version=9,serial=0x99,model=X"}, 0x0012ABCD, 1234,
       "1.2.3"},
      {"block of 40 bytes", {"--info=build=5,version=1.0,serial=0x0012ABCD,model=Osprey,size=40"}, 0x0012ABCD, 5,
       "1.0"},
      {"block of 20 bytes", {"--info=build=5,version=1.0,serial=0x0012ABCD,model=Osprey,size=20"}, 0, 5, "1.0"},
      {"empty block", {"--raw", "0x04:"}, 0, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Make("info.bird", c.args);
    BirdFile bird(path.c_str());
    EXPECT_EQ(c.serial, bird.GetSerialNumber());
    EXPECT_TRUE(bird.ValidateSerialNumber(c.serial));
    EXPECT_FALSE(bird.ValidateSerialNumber(c.serial + 1));
    EXPECT_EQ(c.build, bird.GetBuild());
    EXPECT_EQ(c.version, bird.GetVersion());
    EXPECT_FALSE(bird.serialReplaceable);
  }
}

TEST_F(BirdFileTest, ModelMatchesAsAPrefixOfTheTrimmedField) {
  struct {
    const char* field;
    const char* expected;
    bool matches;
  } cases[] = {
      {"Osprey", "Osprey", true},
      {"Osprey", "OspreyX", false},
      {"OspreyPlus", "Osprey", true},
      {"Osprey", "Osp", true},
      {"Kestrel", "Osprey", false},
      {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", true},
      {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOPQ", false},
      {"", "Osprey", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " / " + c.expected);
    std::string path = Make("model.bird", {std::string("--info=build=1,version=1,serial=0x1,model=") + c.field});
    BirdFile bird(path.c_str());
    LogCapture log(DEBUG_BirdFile);
    EXPECT_EQ(c.matches, bird.ValidateModel(c.expected));
    std::string line = std::string("Model matches model number ([") + c.field + "] == [" + c.expected + "])\n";
    EXPECT_EQ(c.matches ? line : std::string(), log.text());
  }
}

TEST_F(BirdFileTest, ModelNeedsAnInformationBlockThatReachesTheModelField) {
  std::string none = Make("none.bird", {"--firmware", "0:count:4"});
  EXPECT_FALSE(BirdFile(none.c_str()).ValidateModel("Osprey"));
  std::string shortInfo = Make("short.bird", {"--info=build=1,version=1,serial=0x1,model=Osprey,size=52"});
  BirdFile bird(shortInfo.c_str());
  EXPECT_TRUE(bird.ValidateModel("Ospr"));  // the 4 model bytes present
  EXPECT_FALSE(bird.ValidateModel("Osprey"));
}

struct ReplaceCase {
  const char* name;
  std::vector<std::string> blocks;  // mkbird block options; firmware images are filled with 0xAA
  uint32_t serialOffset, descriptorOffset;
  bool result;
  // Expected image bytes after replacement: block index among the firmware blocks, image index,
  // bytes. Every other image byte must still be 0xAA.
  std::vector<std::tuple<size_t, size_t, std::vector<unsigned char>>> written;
};

const std::vector<unsigned char> kSerialWord = {0x4D, 0x3C, 0x2B, 0x1A};
const std::vector<unsigned char> kDescriptor = {'1', 0xAA, 'A', 0xAA, '2', 0xAA, 'B', 0xAA,
                                                '3', 0xAA, 'C', 0xAA, '4', 0xAA, 'D', 0xAA};

TEST_F(BirdFileTest, ReplaceSerialNumberWritesLittleEndianWordAndUtf16Characters) {
  const std::vector<ReplaceCase> cases = {
      {"word at 0x100", {"0:fill:0x200:AA"}, 0x100, 0, true, {{0, 0x100, kSerialWord}}},
      {"descriptor at 0x180", {"0:fill:0x200:AA"}, 0, 0x180, true, {{0, 0x180, kDescriptor}}},
      {"both", {"0:fill:0x200:AA"}, 0x100, 0x180, true, {{0, 0x100, kSerialWord}, {0, 0x180, kDescriptor}}},
      {"word in the last 4 bytes", {"0:fill:0x100:AA"}, 0xFC, 0, true, {{0, 0xFC, kSerialWord}}},
      {"word straddling the image end", {"0:fill:0x100:AA"}, 0xFE, 0, false, {}},
      {"word before the image", {"0x1000:fill:0x100:AA"}, 0x0FFE, 0, false, {}},
      {"descriptor straddling the end", {"0:fill:0x100:AA"}, 0, 0xF8, false, {}},
      {"descriptor ending at the end", {"0:fill:0x100:AA"}, 0, 0xF0, true, {{0, 0xF0, kDescriptor}}},
      {"both offsets zero", {"0:fill:0x100:AA"}, 0, 0, false, {}},
      {"second block holds the word",
       {"0:fill:0x100:AA", "0x1000:fill:0x100:AA"},
       0x1010,
       0x10,
       true,
       {{1, 0x10, kSerialWord}, {0, 0x10, kDescriptor}}},
      {"image ending at 2^32", {"0xFFFFFF00:fill:0x100:AA"}, 0xFFFFFFFC, 0, true, {{0, 0xFC, kSerialWord}}},
      {"word wrapping past 2^32", {"0xFFFFFF00:fill:0x100:AA"}, 0xFFFFFFFE, 0xFFFFFFF8, false, {}},
  };
  for (const ReplaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args;
    for (const std::string& block : c.blocks) args.insert(args.end(), {"--firmware", block});
    args.insert(args.end(), {"--serial-offsets", std::to_string(c.serialOffset) + ":" + std::to_string(c.descriptorOffset)});
    std::string path = Make("replace.bird", args);
    BirdFile bird(path.c_str());
    EXPECT_EQ(c.result, bird.ReplaceSerialNumber(0x1A2B3C4D));
    std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    std::vector<std::vector<unsigned char>> expected;
    for (const BirdBlock& block : firmware) expected.emplace_back(block.imageLength(), 0xAA);
    for (const auto& [index, offset, bytes] : c.written) {
      std::copy(bytes.begin(), bytes.end(), expected[index].begin() + static_cast<long>(offset));
    }
    for (size_t i = 0; i < firmware.size(); ++i) EXPECT_EQ(expected[i], Image(firmware[i])) << "block " << i;
  }
}

TEST_F(BirdFileTest, ReplaceSerialNumberLogsTheOldWordAndLeavesOtherBlocksAlone) {
  std::string path = Make("replace.bird", {"--loader", "0:fill:0x200:AA", "--firmware", "0:hex:0011223344556677",
                                           "--serial-offsets", "0x2:0"});
  BirdFile bird(path.c_str());
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(bird.ReplaceSerialNumber(0x0012ABCD));
  EXPECT_EQ("BIRDFILE: updating serial number from 55443322 ==> 0012ABCD\n", log.text());
  BirdBlock firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
  EXPECT_EQ((std::vector<unsigned char>{0x00, 0x11, 0xCD, 0xAB, 0x12, 0x00, 0x66, 0x77}), Image(firmware));
  EXPECT_EQ(std::vector<unsigned char>(0x200, 0xAA), Image(bird.FindBlocks(BirdFile::BLOCK_LOADER).at(0)));
}

TEST_F(BirdFileTest, ReplaceSerialNumberWithoutFirmwareBlocksFails) {
  std::string path = Make("loader-only.bird", {"--loader", "0:fill:0x200:AA", "--serial-offsets", "0x100:0x180"});
  BirdFile bird(path.c_str());
  EXPECT_FALSE(bird.ReplaceSerialNumber(0x1A2B3C4D));
  EXPECT_EQ(std::vector<unsigned char>(0x200, 0xAA), Image(bird.FindBlocks(BirdFile::BLOCK_LOADER).at(0)));
}

TEST_F(BirdFileTest, FirmwareBlockShorterThanItsAddressHasNoImage) {
  std::string path = Make("short-firmware.bird", {"--raw", "0x01:hex:0000", "--serial-offsets", "0x1:0x1"});
  BirdFile bird(path.c_str());
  BirdBlock block = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
  EXPECT_EQ(2u, block.length);
  EXPECT_EQ(0u, block.address);
  EXPECT_EQ(0u, block.imageLength());
  EXPECT_FALSE(bird.ReplaceSerialNumber(1));  // the word offset is set but no image holds it
  const uint32_t fingerprint[4] = {1, 2, 3, 4};
  EXPECT_TRUE(bird.DecodeFirmwareBlocks(fingerprint));
  EXPECT_EQ(0, memcmp(block.data, "\0\0", 2));
}

TEST_F(BirdFileTest, DecodeRestoresEachFirmwareImageAndLeavesLoadersAlone) {
  const std::string fingerprintText = "0x01020304,0x05060708,0x090A0B0C,0x0D0E0F10";
  const std::vector<std::string> blocks = {"--loader",   "0x10000000:count:40", "--firmware", "0:count:300",
                                           "--firmware", "0x8000:fill:33:5A",   kInfo};
  std::string plainPath = Make("plain.bird", blocks);
  std::vector<std::string> encodedArgs = blocks;
  encodedArgs.insert(encodedArgs.end(), {"--fingerprint", fingerprintText});
  std::string encodedPath = Make("encoded.bird", encodedArgs);

  BirdFile plain(plainPath.c_str());
  BirdFile encoded(encodedPath.c_str());
  std::vector<BirdBlock> plainFirmware = plain.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  std::vector<BirdBlock> encodedFirmware = encoded.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(2u, encodedFirmware.size());
  EXPECT_NE(Image(plainFirmware[0]), Image(encodedFirmware[0]));

  const uint32_t fingerprint[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
  EXPECT_TRUE(encoded.DecodeFirmwareBlocks(fingerprint));
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(Image(plainFirmware[i]), Image(encodedFirmware[i])) << "firmware block " << i;
    EXPECT_EQ(0, memcmp(plainFirmware[i].data, encodedFirmware[i].data, 4)) << "address of block " << i;
  }
  BirdBlock plainLoader = plain.FindBlocks(BirdFile::BLOCK_LOADER).at(0);
  BirdBlock encodedLoader = encoded.FindBlocks(BirdFile::BLOCK_LOADER).at(0);
  EXPECT_EQ(Image(plainLoader), Image(encodedLoader));
}

// Two identical stored images decode identically: key and chaining restart with every block.
TEST_F(BirdFileTest, DecodeChainingRestartsAtEveryBlock) {
  std::string path = Make("zeros.bird", {"--firmware", "0:zeros:18", "--firmware", "0x100:zeros:18"});
  BirdFile bird(path.c_str());
  const uint32_t fingerprint[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
  EXPECT_TRUE(bird.DecodeFirmwareBlocks(fingerprint));
  // plain[i] = key[i mod 16] ^ plain[i - 1] for stored zeros.
  const std::vector<unsigned char> expected = {0x01, 0x03, 0x00, 0x04, 0x01, 0x07, 0x00, 0x08, 0x01,
                                               0x0B, 0x00, 0x0C, 0x01, 0x0F, 0x00, 0x10, 0x11, 0x13};
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) EXPECT_EQ(expected, Image(block));
}

TEST_F(BirdFileTest, MovingKeepsTheBlocksPointingIntoTheMovedBuffer) {
  std::string path = Make("move.bird", {"--loader", "0x10:count:20", "--firmware", "0:count:100", kInfo});
  BirdFile loaded(path.c_str());
  const unsigned char* buffer = loaded.Data();
  std::vector<BirdBlock> before = loaded.Blocks();

  BirdFile moved(std::move(loaded));
  EXPECT_EQ(buffer, moved.Data());
  EXPECT_EQ(3u, moved.blockCount);
  EXPECT_TRUE(loaded.Blocks().empty());
  EXPECT_EQ(0u, loaded.blockCount);
  EXPECT_EQ(0u, loaded.DataSize());

  BirdFile placeholder;
  EXPECT_EQ(0u, placeholder.blockCount);
  placeholder = std::move(moved);
  EXPECT_EQ(buffer, placeholder.Data());
  EXPECT_EQ(path, placeholder.filename);
  ASSERT_EQ(before.size(), placeholder.Blocks().size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(before[i].data, placeholder.Blocks()[i].data);
  EXPECT_EQ(0x0012ABCDu, placeholder.GetSerialNumber());
  EXPECT_EQ(99, Image(placeholder.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0)).back());
}

TEST_F(BirdFileTest, ValidateDataSearchesFirmwareImagesOnly) {
  std::string path = Make("data.bird", {"--loader", "0:hex:CAFEBABE", "--firmware", "0:hex:0011223344"});
  BirdFile bird(path.c_str());
  const unsigned char inImage[] = {0x22, 0x33};
  const unsigned char inLoader[] = {0xCA, 0xFE};
  const unsigned char acrossEnd[] = {0x44, 0x00};
  EXPECT_TRUE(bird.ValidateData(inImage, sizeof inImage));
  EXPECT_FALSE(bird.ValidateData(inLoader, sizeof inLoader));
  EXPECT_FALSE(bird.ValidateData(acrossEnd, sizeof acrossEnd));
  EXPECT_FALSE(bird.ValidateData(nullptr, 2));
}

TEST_F(BirdFileTest, ReplaceVectorChecksumMakesTheVectorWordsSumToZero) {
  // Words 0..7, little-endian: 1, 2, 3, 4, 5, 0x99 (not summed), 6, anything.
  const std::string vectors =
      "hex:01000000020000000300000004000000050000009900000006000000FFFFFFFF";
  std::string path = Make("vectors.bird", {"--firmware", "0:" + vectors, "--firmware", "0x100:" + vectors});
  BirdFile bird(path.c_str());
  EXPECT_TRUE(bird.ReplaceVectorChecksum());
  std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(0, memcmp(firmware[0].image() + 28, "\xEB\xFF\xFF\xFF", 4));  // -(1+2+3+4+5+6)
  EXPECT_EQ(0, memcmp(firmware[1].image() + 28, "\xFF\xFF\xFF\xFF", 4));  // not at address 0

  std::string shortPath = Make("short-vectors.bird", {"--firmware", "0:zeros:31"});
  BirdFile shortImage(shortPath.c_str());
  EXPECT_FALSE(shortImage.ReplaceVectorChecksum());
}

TEST_F(BirdFileTest, DumpBlocksPrintsFiftyBytesALine) {
  std::string path = Make("dump.bird", {"--loader", "0x10:text:ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWXYZ",
                                        "--firmware", "0:count:4"});
  BirdFile bird(path.c_str());
  TempDir out;
  std::string capture = out / "stdout";
  fflush(stdout);
  int saved = dup(fileno(stdout));
  FILE* file = fopen(capture.c_str(), "w");
  ASSERT_NE(nullptr, file);
  dup2(fileno(file), fileno(stdout));
  bird.DumpBlocks(BirdFile::BLOCK_LOADER);
  fflush(stdout);
  dup2(saved, fileno(stdout));
  close(saved);
  fclose(file);
  std::string text = store_test::ReadText(capture);
  // A header line and two data lines (56 bytes: 50 + 6); nothing of the firmware block.
  EXPECT_EQ(3, std::count(text.begin(), text.end(), '\n')) << text;
  EXPECT_NE(std::string::npos, text.find("length 56 address 0x00000010")) << text;
  EXPECT_NE(std::string::npos, text.find("....ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRST\n")) << text;
  // Offset, two spaces, the bytes; a short last line is padded so its text column lines up.
  EXPECT_NE(std::string::npos, text.find("\n00000000  00 00 00 10 41 42 43 44 45")) << text;
  EXPECT_NE(std::string::npos,
            text.find("\n00000032  55 56 57 58 59 5A" + std::string(3 * 44, ' ') + "  UVWXYZ\n"))
      << text;
}

}  // namespace
