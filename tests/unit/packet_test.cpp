// Packet records and the byte-by-byte parser that frames packets on every stream.
#include <gtest/gtest.h>

#include <vector>

#include "aPacket.h"

namespace {

struct PacketDeleter {
  void operator()(aPacket* packet) const { (void)aPacket_Destroy(&packet); }  // deleter: null is fine
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

struct ParserCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;  // one per byte
  bool complete;              // after the last byte
};

class Parser : public ::testing::TestWithParam<ParserCase> {};

TEST_P(Parser, FeedsBytes) {
  const ParserCase& c = GetParam();
  PacketPtr packet(aPacket_Create());
  ASSERT_TRUE(packet);
  ASSERT_EQ(c.bytes.size(), c.results.size());
  for (size_t i = 0; i < c.bytes.size(); ++i) {
    EXPECT_EQ(aPacket_AddByte(packet.get(), c.bytes[i]), c.results[i]) << "byte " << i;
  }
  EXPECT_EQ(aPacket_IsComplete(packet.get()), c.complete);
}

std::vector<uint8_t> frame(uint8_t address, uint8_t length) {
  std::vector<uint8_t> bytes = {address, length};
  for (uint8_t i = 0; i < length; ++i) bytes.push_back(static_cast<uint8_t>(0x40 + i));
  return bytes;
}

std::vector<ParserCase> parserCases() {
  std::vector<ParserCase> cases = {
      {"ZeroLength", {0x02, 0x00}, {aErrNone, aErrNone}, true},
      {"OddAddress", {0xAD}, {aErrPacket}, false},
      {"ZeroAddress", {0x00}, {aErrPacket}, false},
      {"LengthAboveLimit", {0x04, 29}, {aErrNone, aErrPacket}, false},
      {"PartialFrame", {0x04, 0x03, 0x01, 0x02}, {aErrNone, aErrNone, aErrNone, aErrNone}, false},
      {"ByteBeyondLength", {0x04, 0x01, 0x07, 0x08}, {aErrNone, aErrNone, aErrNone, aErrPacket}, false},
  };
  ParserCase longest = {"LongestFrame", frame(0x06, 28), std::vector<aErr>(30, aErrNone), true};
  cases.push_back(longest);
  ParserCase overrun = longest;
  overrun.name = "ThirtyFirstByteOverruns";
  overrun.bytes.push_back(0x55);
  overrun.results.push_back(aErrOverrun);
  overrun.complete = false;
  cases.push_back(overrun);
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Packet, Parser, ::testing::ValuesIn(parserCases()),
                         [](const ::testing::TestParamInfo<ParserCase>& info) { return info.param.name; });

TEST(Packet, ParserStoresTheFrame) {
  PacketPtr packet(aPacket_Create());
  for (uint8_t byte : {0x08, 0x03, 0x0A, 0x0B, 0x0C}) ASSERT_EQ(aPacket_AddByte(packet.get(), byte), aErrNone);
  ASSERT_TRUE(aPacket_IsComplete(packet.get()));
  EXPECT_EQ(packet->address, 0x08);
  EXPECT_EQ(packet->dataSize, 3);
  EXPECT_EQ(packet->data[0], 0x0A);
  EXPECT_EQ(packet->data[2], 0x0C);
}

TEST(Packet, EndlessGarbageNeverWritesOutsideTheRecord) {
  // The count stops growing past the longest frame, so feeding far more than 256 bytes without a
  // reset keeps answering overrun (and never wraps back to accepting bytes).
  PacketPtr packet(aPacket_Create());
  ASSERT_EQ(aPacket_AddByte(packet.get(), 0x02), aErrNone);
  ASSERT_EQ(aPacket_AddByte(packet.get(), 0xFF), aErrPacket);
  for (int i = 0; i < 1000; ++i) {
    aErr result = aPacket_AddByte(packet.get(), static_cast<uint8_t>(i));
    if (i >= 28) {
      EXPECT_EQ(result, aErrOverrun) << i;
    }
  }
  EXPECT_FALSE(aPacket_IsComplete(packet.get()));
}

TEST(Packet, ResetStartsAFreshFrame) {
  PacketPtr packet(aPacket_Create());
  for (uint8_t byte : {0x04, 0x02, 0x11}) ASSERT_EQ(aPacket_AddByte(packet.get(), byte), aErrNone);
  ASSERT_EQ(aPacket_Reset(packet.get()), aErrNone);
  EXPECT_EQ(packet->count, 0);
  EXPECT_EQ(packet->address, 0);
  EXPECT_EQ(packet->dataSize, 0);
  EXPECT_EQ(packet->data[0], 0);
  EXPECT_EQ(aPacket_AddByte(packet.get(), 0x06), aErrNone);
  EXPECT_EQ(aPacket_AddByte(packet.get(), 0x00), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(packet.get()));
}

TEST(Packet, CreateWithDataAndCopy) {
  const uint8_t data[3] = {0x05, 0xC1, 0x23};
  PacketPtr packet(aPacket_CreateWithData(0x0A, 3, data));
  ASSERT_TRUE(packet);
  EXPECT_TRUE(aPacket_IsComplete(packet.get()));
  PacketPtr copy(aPacket_Copy(packet.get()));
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.get(), packet.get());
  EXPECT_EQ(copy->address, 0x0A);
  EXPECT_EQ(copy->dataSize, 3);
  EXPECT_EQ(copy->data[1], 0xC1);
  EXPECT_TRUE(aPacket_IsComplete(copy.get()));

  uint8_t cmd = 0, option = 0, index = 0;
  EXPECT_EQ(aPacket_GetCmd(packet.get(), &cmd), aErrNone);
  EXPECT_EQ(aPacket_GetOption(packet.get(), &option), aErrNone);
  EXPECT_EQ(aPacket_GetIndex(packet.get(), &index), aErrNone);
  EXPECT_EQ(cmd, 0x05);
  EXPECT_EQ(option, 0x01);  // low 6 bits
  EXPECT_EQ(index, 0x03);   // low 5 bits
}

TEST(Packet, Refusals) {
  uint8_t big[29] = {};
  EXPECT_EQ(aPacket_CreateWithData(0x02, 29, big), nullptr);
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);

  PacketPtr shortPacket(aPacket_CreateWithData(0x02, 1, big));
  uint8_t value;
  EXPECT_EQ(aPacket_GetCmd(shortPacket.get(), nullptr), aErrParam);
  EXPECT_EQ(aPacket_GetCmd(shortPacket.get(), &value), aErrNone);
  EXPECT_EQ(aPacket_GetOption(shortPacket.get(), &value), aErrPacket);
  EXPECT_EQ(aPacket_GetIndex(shortPacket.get(), &value), aErrPacket);
  EXPECT_EQ(aPacket_GetCmd(nullptr, &value), aErrPacket);

  aPacket forged = {};
  EXPECT_EQ(aPacket_AddByte(&forged, 0x02), aErrParam);
  EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(&forged));

  aPacket* none = nullptr;
  EXPECT_EQ(aPacket_Destroy(&none), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
  aPacket* packet = aPacket_Create();
  EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
  EXPECT_EQ(packet, nullptr);
}

}  // namespace
