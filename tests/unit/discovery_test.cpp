// Discovery records: decoding of TCP/IP replies, USB serial-number strings, link specifier
// records, and the transports discovery does not serve. Nothing here touches the network: the
// multicast paths are tested inside a private network namespace (tests/e2e).
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "aDiscovery.h"
#include "aError.h"
#include "aLinkSpec.h"

namespace {

struct ReplyCase {
  const char* name;
  std::vector<uint8_t> reply;
  uint32_t address;
  uint32_t port;
  uint32_t serial;
  uint32_t model;
};

TEST(DiscoveryReply, FieldsComeFromTheirBytesLeastSignificantFirst) {
  const uint32_t source = inet_addr("10.77.0.2");
  const std::vector<ReplyCase> cases = {
      {"full reply",
       {0x02, 0x04, 0x1F, 0x22, 0x1D, 0x03, 0x72, 0xD2, 0x05, 0x00, 0x00, 0x21, 0x0A, 0x00, 0x00, 0x00},
       4, 0x221F, 0xD272031D, 10},
      {"bytes past 16 are not used",
       {0x02, 0x06, 0x10, 0x27, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0x13, 0, 0, 0, 0xAA, 0xBB},
       6, 0x2710, 0x04030201, 0x13},
      {"12 bytes: no model", {0x02, 0x02, 0x01, 0x00, 0xA1, 0x49, 0x58, 0x0F, 0, 0, 0, 0}, 2, 1, 0x0F5849A1, 0xFF},
      {"13 bytes carry the model", {0x02, 0x02, 0x01, 0x00, 0xA1, 0x49, 0x58, 0x0F, 0, 0, 0, 0, 0x00}, 2, 1,
       0x0F5849A1, 0},
      {"3 bytes: the rest counts as 0", {0x02, 0x08, 0x50}, 8, 0x50, 0, 0xFF},
      {"empty datagram", {}, 0, 0, 0, 0xFF},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    linkSpec spec;
    memset(&spec, 0x5A, sizeof spec);
    aDiscovery_FillFromReply(&spec, c.reply.data(), static_cast<unsigned>(c.reply.size()), source);
    EXPECT_EQ(spec.type, linkTypeTCPIP);
    EXPECT_EQ(spec.moduleAddress, c.address);
    EXPECT_EQ(spec.router, c.address);
    EXPECT_EQ(spec.t.ip.ipPort, c.port);
    EXPECT_EQ(spec.serialNumber, c.serial);
    EXPECT_EQ(spec.routerSerialNumber, c.serial);
    EXPECT_EQ(spec.model, c.model);
    EXPECT_EQ(spec.t.ip.ipAddress, source);
  }
}

TEST(DiscoveryUSBSerial, OnlyEightHexadecimalDigitsNameAModule) {
  struct Case {
    const char* text;
    bool valid;
    uint32_t serial;
  };
  const Case cases[] = {
      {"0F5849A1", true, 0x0F5849A1}, {"0f5849a1", true, 0x0F5849A1}, {"FFFFFFFF", true, 0xFFFFFFFF},
      {"00000000", true, 0},          {"0F5849A", false, 0},          {"0F5849A12", false, 0},
      {"0x5849A1", false, 0},         {" F5849A1", false, 0},         {"-F5849A1", false, 0},
      {"+F5849A1", false, 0},         {"0F5849G1", false, 0},         {"0F58 9A1", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t serial = 0x12345678;
    bool valid = aDiscovery_ParseSerialText(c.text, static_cast<int>(strlen(c.text)), &serial);
    EXPECT_EQ(valid, c.valid);
    EXPECT_EQ(serial, c.valid ? c.serial : 0x12345678u);
  }
  uint32_t serial = 0;
  // The length libusb reports is what counts, also when it is an error code.
  EXPECT_FALSE(aDiscovery_ParseSerialText("0F5849A1", -1, &serial));
  EXPECT_FALSE(aDiscovery_ParseSerialText("0F5849A1", 7, &serial));
  EXPECT_FALSE(aDiscovery_ParseSerialText(nullptr, 8, &serial));
}

bool countingCallback(const linkSpec*, bool* found, void* reference) {
  ++*static_cast<int*>(reference);
  *found = true;
  return true;
}

TEST(DiscoveryTransports, OnlyUSBAndTCPIPAreEnumerated) {
  for (linkType type : std::vector<linkType>{linkTypeAny, linkTypeSerial, linkTypeRecover, 7}) {
    SCOPED_TRACE(type);
    int calls = 0;
    EXPECT_EQ(aDiscovery_EnumerateModules(type, countingCallback, &calls), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(aDiscovery_FindModule(type, 0x0F5849A1), nullptr);
    EXPECT_EQ(aDiscovery_FindFirstModule(type), nullptr);
  }
}

// Answers as the reply's port field says: bit 8 takes the module, bit 9 asks to stop.
bool byteZeroCallback(const linkSpec* spec, bool* found, void* reference) {
  ++*static_cast<int*>(reference);
  *found = (spec->t.ip.ipPort & 0x100) != 0;
  return (spec->t.ip.ipPort & 0x200) == 0;
}

TEST(DiscoveryWindow, EachReplyIsOfferedAndCountedAsTheCallbackSays) {
  const uint8_t take[] = {0x02, 0x04, 0x00, 0x01};         // port 0x100
  const uint8_t pass[] = {0x02, 0x04, 0x00, 0x00};         // port 0
  const uint8_t takeAndStop[] = {0x02, 0x04, 0x00, 0x03};  // port 0x300
  int calls = 0;
  uint8_t count = 0;
  EXPECT_TRUE(aDiscovery_OfferReply(take, sizeof take, 0, byteZeroCallback, &calls, &count));
  EXPECT_TRUE(aDiscovery_OfferReply(pass, sizeof pass, 0, byteZeroCallback, &calls, &count));
  EXPECT_FALSE(aDiscovery_OfferReply(takeAndStop, sizeof takeAndStop, 0, byteZeroCallback, &calls, &count));
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(count, 2);
  // The count of one enumeration is 8 bits wide and stops at its top.
  count = 254;
  for (int i = 0; i < 3; ++i) aDiscovery_OfferReply(take, sizeof take, 0, byteZeroCallback, &calls, &count);
  EXPECT_EQ(count, 255);
}

TEST(LinkSpecRecord, CreateCopyDestroy) {
  linkSpec* spec = aLinkSpec_Create(linkTypeTCPIP);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, linkTypeTCPIP);
  EXPECT_EQ(spec->serialNumber, 0u);
  EXPECT_EQ(spec->moduleAddress, 0u);
  EXPECT_EQ(spec->router, 0u);
  EXPECT_EQ(spec->model, 0u);
  spec->serialNumber = 0x0F5849A1;
  spec->t.ip.ipPort = 8735;

  linkSpec* copy = aLinkSpec_Copy(*spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, spec);
  EXPECT_EQ(memcmp(copy, spec, sizeof *spec), 0);

  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
}

}  // namespace
