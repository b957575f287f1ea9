// The object layer (Link, Module, EntityClass, SystemClass) against a scripted module on a TCP
// port of 127.0.0.1: the bytes every request puts on the wire, how replies are matched and
// decoded, the limits of the packet primitives, and the connect results. The link is made from a
// specifier, so nothing here discovers (no multicast).
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Halyard.h"
#include "aPacket.h"
#include "scripted_module.h"

namespace {

using namespace Tessaron::Halyard;
using Bytes = ScriptedModule::Bytes;

constexpr uint8_t kPeerAddress = 6;
constexpr uint32_t kUntouched = 0xA5A5A5A5;

Bytes frame(uint8_t address, const Bytes& data) {
  Bytes wire;
  wire.reserve(data.size() + 2);
  wire.push_back(address);
  wire.push_back(static_cast<uint8_t>(data.size()));
  wire.insert(wire.end(), data.begin(), data.end());
  return wire;
}

Bytes dataOf(const Bytes& wire) { return Bytes(wire.begin() + 2, wire.end()); }

std::string hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (uint8_t b : bytes) {
    snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", b);
    text += digits;
  }
  return text;
}

linkSpec specFor(const ScriptedModule& peer) {
  linkSpec spec{};
  spec.type = linkTypeTCPIP;
  spec.serialNumber = 0x0F5849A1;
  spec.t.ip.ipAddress = ScriptedModule::loopback();
  spec.t.ip.ipPort = peer.port();
  return spec;
}

// A rule answering each request data (by exact bytes) with the frames given.
ScriptedModule::Rule answers(std::map<Bytes, std::vector<Bytes>> table) {
  return [table](const Bytes& request) {
    auto found = table.find(dataOf(request));
    return found != table.end() ? found->second : std::vector<Bytes>{};
  };
}

class ObjectsTest : public ::testing::Test {
 protected:
  ScriptedModule peer{kPeerAddress};

  std::unique_ptr<Module> connectedModule(uint8_t address = 2) {
    auto module = std::make_unique<Module>(address, uint8_t{0});
    EXPECT_EQ(module->connectFromSpec(specFor(peer)), aErrNone);
    return module;
  }
};

struct UEICase {
  const char* name;
  std::function<aErr(SystemClass&, uint32_t*)> operation;
  Bytes request;                // data bytes the host must send
  std::vector<Bytes> replies;   // frames the module answers
  aErr result;
  uint32_t value;               // output after the call (kUntouched: left alone)
};

template <typename T>
std::function<aErr(SystemClass&, uint32_t*)> narrow(std::function<aErr(SystemClass&, T*)> get) {
  return [get](SystemClass& system, uint32_t* out) {
    T value = static_cast<T>(*out);
    aErr result = get(system, &value);
    *out = value == static_cast<T>(kUntouched) ? *out : value;
    return result;
  };
}

aErr getSerial(SystemClass& s, uint32_t* out) { return s.getSerialNumber(out); }

TEST_F(ObjectsTest, UEITransactionsPutTheirLayoutOnTheWireAndDecodeReplies) {
  const std::vector<UEICase> cases = {
      {"serial number", getSerial, {0x03, 0x49, 0x20},
       {frame(6, {0x03, 0x09, 0x00, 0x0F, 0x58, 0x49, 0xA1})}, aErrNone, 0x0F5849A1},
      {"serial number: error reply leaves the output alone", getSerial, {0x03, 0x49, 0x20},
       {frame(6, {0x03, 0x09, 0x80, 0x1D})}, aErrInvalidOption, kUntouched},
      {"serial number: an 8-bit reply is not a serial number", getSerial, {0x03, 0x49, 0x20},
       {frame(6, {0x03, 0x09, 0x00, 0x13})}, aErrPacket, kUntouched},
      {"serial number: error reply with code 0 is still an error", getSerial, {0x03, 0x49, 0x20},
       {frame(6, {0x03, 0x09, 0x80, 0x00})}, aErrUnknown, kUntouched},
      {"serial number: error reply without a code", getSerial, {0x03, 0x49, 0x20},
       {frame(6, {0x03, 0x09, 0x80})}, aErrUnknown, kUntouched},
      {"serial number: error code beyond the table", getSerial, {0x03, 0x49, 0x20},
       {frame(6, {0x03, 0x09, 0x80, 0xC8})}, aErrUnknown, kUntouched},
      {"serial number: replies of other modules, entities and options are passed over", getSerial,
       {0x03, 0x49, 0x20},
       {frame(8, {0x03, 0x09, 0x00, 1, 2, 3, 4}), frame(6, {0x03, 0x09, 0x01, 1, 2, 3, 4}),
        frame(6, {0x07, 0x09, 0x00, 1, 2, 3, 4}), frame(6, {0x03, 0x08, 0x00, 0x13}),
        frame(6, {0x03, 0x09, 0x00, 0xD2, 0x72, 0x03, 0x1D})},
       aErrNone, 0xD272031D},
      {"serial number: no reply", getSerial, {0x03, 0x49, 0x20}, {}, aErrTimeout, kUntouched},
      {"model", narrow<uint8_t>([](SystemClass& s, uint8_t* v) { return s.getModel(v); }), {0x03, 0x48, 0x20},
       {frame(6, {0x03, 0x08, 0x00, 0x13})}, aErrNone, 0x13},
      {"version", [](SystemClass& s, uint32_t* v) { return s.getVersion(v); }, {0x03, 0x47, 0x20},
       {frame(6, {0x03, 0x07, 0x00, 0x21, 0x00, 0x00, 0x05})}, aErrNone, 0x21000005},
      {"module address", narrow<uint8_t>([](SystemClass& s, uint8_t* v) { return s.getModule(v); }),
       {0x03, 0x41, 0x20}, {frame(6, {0x03, 0x01, 0x00, 0x06})}, aErrNone, 6},
      {"router address", narrow<uint8_t>([](SystemClass& s, uint8_t* v) { return s.getRouter(v); }),
       {0x03, 0x42, 0x20}, {frame(6, {0x03, 0x02, 0x00, 0x02})}, aErrNone, 2},
      {"unique identifier word 2", [](SystemClass& s, uint32_t* v) { return s.getUniqueIdentifier(2, v); },
       {0x03, 0x67, 0x20, 0x02}, {frame(6, {0x03, 0x27, 0x00, 0xDE, 0xAD, 0xBE, 0xEF})}, aErrNone, 0xDEADBEEF},
      {"8-bit get with a sub-index: a 6-byte reply carries no value",
       narrow<uint8_t>([](SystemClass& s, uint8_t* v) { return s.getUEI8(39, 2, v); }), {0x03, 0x67, 0x20, 0x02},
       {frame(6, {0x03, 0x27, 0x00, 0x01, 0x02, 0x03})}, aErrPacket, kUntouched},
      {"routeToMe(1)", [](SystemClass& s, uint32_t*) { return s.routeToMe(1); }, {0x03, 0x94, 0x20, 0x01},
       {frame(6, {0x03, 0xD4, 0x00, 0x01})}, aErrNone, kUntouched},
      {"routeToMe(1): a reply with the get option is not the answer",
       [](SystemClass& s, uint32_t*) { return s.routeToMe(1); }, {0x03, 0x94, 0x20, 0x01},
       {frame(6, {0x03, 0x14, 0x00, 0x01})}, aErrTimeout, kUntouched},
      {"reset call", [](SystemClass& s, uint32_t*) { return s.reset(); }, {0x03, 0x8B, 0x20},
       {frame(6, {0x03, 0xCB, 0x00})}, aErrNone, kUntouched},
      {"16-bit get", narrow<uint16_t>([](SystemClass& s, uint16_t* v) { return s.getUEI16(5, v); }),
       {0x03, 0x45, 0x20}, {frame(6, {0x03, 0x05, 0x00, 0x12, 0x34})}, aErrNone, 0x1234},
      {"16-bit set", [](SystemClass& s, uint32_t*) { return s.setUEI16(5, 0x1234); },
       {0x03, 0x85, 0x20, 0x12, 0x34}, {frame(6, {0x03, 0xC5, 0x00})}, aErrNone, kUntouched},
      {"32-bit set", [](SystemClass& s, uint32_t*) { return s.setUEI32(6, 0x01020304); },
       {0x03, 0x86, 0x20, 0x01, 0x02, 0x03, 0x04}, {frame(6, {0x03, 0xC6, 0x00})}, aErrNone, kUntouched},
      {"set refused by the module", [](SystemClass& s, uint32_t*) { return s.setUEI8(12, 1); },
       {0x03, 0x8C, 0x20, 0x01}, {frame(6, {0x03, 0xCC, 0x80, 0x1D})}, aErrInvalidOption, kUntouched},
  };
  for (const UEICase& c : cases) {
    SCOPED_TRACE(c.name);
    peer.clearFrames();
    peer.setRule(answers({{c.request, c.replies}}));
    auto module = connectedModule();
    ASSERT_EQ(module->getModuleAddress(), kPeerAddress);
    SystemClass system;
    system.init(module.get(), 0);
    uint32_t value = kUntouched;
    EXPECT_EQ(c.operation(system, &value), c.result);
    EXPECT_EQ(value, c.value);
    std::vector<Bytes> requests = peer.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(hex(requests[0]), hex(frame(kPeerAddress, c.request)));
  }
}

TEST_F(ObjectsTest, TypedGettersRefuseANullOutputAndEntitiesWithoutAModule) {
  auto module = connectedModule();
  SystemClass system;
  system.init(module.get(), 0);
  EXPECT_EQ(system.getSerialNumber(nullptr), aErrParam);
  EXPECT_EQ(system.getModel(nullptr), aErrParam);
  EXPECT_TRUE(peer.requests().empty());

  SystemClass detached;
  detached.init(nullptr, 0);
  uint32_t value = kUntouched;
  uei message;
  EXPECT_EQ(detached.getUEI(9, &message), aErrResource);
  EXPECT_EQ(detached.getSerialNumber(&value), aErrResource);
  EXPECT_EQ(value, kUntouched);
  EXPECT_EQ(detached.sendPacket(0x49, 0, nullptr), aErrResource);
  uint8_t length = 0;
  uint8_t buffer[kPacketMaxData];
  EXPECT_EQ(detached.receivePacket(nullptr, &length, buffer), aErrResource);
}

TEST_F(ObjectsTest, ByteBlocksGoOutIn24ByteChunksWithSequenceBytes) {
  peer.setRule([](const Bytes& request) {
    // The module answers the last packet of a block (sequence bit 7 clear).
    Bytes data = dataOf(request);
    if (data.size() >= 4 && (data.back() & 0x80) == 0) return std::vector<Bytes>{frame(6, {0x03, 0xCA, 0x00})};
    return std::vector<Bytes>{};
  });
  auto module = connectedModule();
  EntityClass entity;
  entity.init(module.get(), 3, 0);

  Bytes block(50);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(entity.setUEIBytes(10, block.data(), static_cast<uint32_t>(block.size())), aErrNone);
  std::vector<Bytes> requests = peer.requests();
  ASSERT_EQ(requests.size(), 3u);
  const size_t chunks[] = {24, 24, 2};
  const uint8_t sequence[] = {0x80, 0x81, 0x02};
  size_t offset = 0;
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    Bytes expected{0x03, 0x8A, 0x20};
    expected.insert(expected.end(), block.begin() + static_cast<long>(offset),
                    block.begin() + static_cast<long>(offset + chunks[i]));
    expected.push_back(sequence[i]);
    EXPECT_EQ(hex(requests[i]), hex(frame(kPeerAddress, expected)));
    offset += chunks[i];
  }

  // A block that fills its last packet exactly, an empty block, and one too long to number.
  peer.clearFrames();
  EXPECT_EQ(entity.setUEIBytes(10, block.data(), 48), aErrNone);
  requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].size(), 2u + 28u);
  EXPECT_EQ(requests[1].back(), 0x01);
  peer.clearFrames();
  EXPECT_EQ(entity.setUEIBytes(10, nullptr, 0), aErrNone);
  ASSERT_EQ(peer.requests().size(), 1u);
  EXPECT_EQ(hex(peer.requests()[0]), hex(frame(kPeerAddress, {0x03, 0x8A, 0x20, 0x00})));
  peer.clearFrames();
  Bytes huge(kUEIBlockMaxLength + 1);
  EXPECT_EQ(entity.setUEIBytes(10, huge.data(), static_cast<uint32_t>(huge.size())), aErrParam);
  EXPECT_EQ(entity.setUEIBytes(10, nullptr, 5), aErrParam);
  EXPECT_TRUE(peer.requests().empty());
}

TEST_F(ObjectsTest, SendPacketLimits) {
  auto module = connectedModule();
  Link* link = module->getLink();
  Bytes arguments(28, 0x11);
  EXPECT_EQ(link->sendPacket(kPeerAddress, 0x49, 28, arguments.data()), aErrParam);
  EXPECT_EQ(link->sendPacket(kPeerAddress, 0x49, 27, arguments.data()), aErrNone);
  EXPECT_EQ(link->sendPacket(0, 0x49, 1, arguments.data()), aErrPacket);
  EXPECT_EQ(link->sendPacket(7, 0x49, 1, arguments.data()), aErrPacket);
  EXPECT_EQ(link->sendPacket(kPeerAddress, 0x49, 1, nullptr), aErrParam);
  ASSERT_TRUE(peer.waitFor(1, 2000, [](const Bytes& f) { return f[0] == kPeerAddress; }));
  std::vector<Bytes> requests = peer.requests();
  ASSERT_EQ(requests.size(), 1u);
  Bytes expected{0x49};
  expected.insert(expected.end(), 27, 0x11);
  EXPECT_EQ(hex(requests[0]), hex(frame(kPeerAddress, expected)));

  Link unconnected("Link");
  EXPECT_EQ(unconnected.sendPacket(kPeerAddress, 0x49, 0, nullptr), aErrConnection);
  uint8_t length = 0;
  uint8_t buffer[kPacketMaxData];
  EXPECT_EQ(unconnected.receivePacket(kPeerAddress, nullptr, &length, buffer), aErrConnection);
  uei message;
  message.module = kPeerAddress;
  EXPECT_EQ(unconnected.sendUEI(message), aErrConnection);
  EXPECT_EQ(unconnected.receiveUEI(kPeerAddress, 3, 9, 0, &message), aErrConnection);
}

TEST_F(ObjectsTest, ReceivePacketTakesTheFirstMatchFromAnyModule) {
  peer.setRule(answers({{{0x77},
                         {frame(4, {0x06, 0x01}), frame(8, {0x05, 0xAA, 0xBB}), frame(2, {0x05, 0xCC}),
                          frame(10, {0x49, 0xFF, 0x05, 0xEE, 0x8B, 0xEE})}}}));
  auto module = connectedModule();
  EntityClass entity;
  entity.init(module.get(), 0x77, 0);
  ASSERT_EQ(entity.sendPacket(0x77, 0, nullptr), aErrNone);

  const uint8_t five = 0x05;
  uint8_t buffer[kPacketMaxData] = {0};
  uint8_t length = 1;
  ASSERT_EQ(entity.receivePacket(&five, &length, buffer), aErrNone);
  EXPECT_EQ(hex(Bytes(buffer, buffer + length)), "05 AA BB");
  const uint8_t build[] = {0x49, 0xFF};
  length = 2;
  ASSERT_EQ(entity.receivePacket(build, &length, buffer), aErrNone);
  EXPECT_EQ(hex(Bytes(buffer, buffer + length)), "49 FF 05 EE 8B EE");
  length = 0;  // any packet: the oldest left
  ASSERT_EQ(entity.receivePacket(nullptr, &length, buffer), aErrNone);
  EXPECT_EQ(hex(Bytes(buffer, buffer + length)), "06 01");
  length = 1;
  ASSERT_EQ(entity.receivePacket(&five, &length, buffer), aErrNone);
  EXPECT_EQ(hex(Bytes(buffer, buffer + length)), "05 CC");
  length = 1;
  EXPECT_EQ(entity.receivePacket(&five, &length, buffer), aErrTimeout);
  // A match longer than the packet never matches it.
  const uint8_t longMatch[] = {0x06, 0x01, 0x00};
  peer.sendToAll(frame(4, {0x06, 0x01}));
  length = 3;
  EXPECT_EQ(entity.receivePacket(longMatch, &length, buffer), aErrTimeout);
  length = 29;
  EXPECT_EQ(entity.receivePacket(longMatch, &length, buffer), aErrParam);
  EXPECT_EQ(module->getLink()->receivePacket(3, longMatch, &length, buffer), aErrPacket);
}

TEST_F(ObjectsTest, DroppingRepliesAfterAnErrorReplyDropsEveryMatchingReply) {
  auto module = connectedModule();
  Link* link = module->getLink();
  ASSERT_NE(link, nullptr);
  // An error reply, a value reply to the same request, a reply to another option, then a marker:
  // once the marker is taken, the three replies before it are queued.
  for (const Bytes& reply : {frame(kPeerAddress, {0x03, 0x09, 0x80, 0x1D}),
                             frame(kPeerAddress, {0x03, 0x09, 0x00, 1, 2, 3, 4}),
                             frame(kPeerAddress, {0x03, 0x08, 0x00, 0x13}), frame(kPeerAddress, {0x77})}) {
    peer.sendToAll(reply);
  }
  const uint8_t marker = 0x77;
  uint8_t buffer[kPacketMaxData];
  uint8_t length = 1;
  ASSERT_EQ(link->receivePacket(kPeerAddress, &marker, &length, buffer), aErrNone);

  EXPECT_EQ(link->dropMatchingUEIPackets(kPeerAddress, 0x03, 0x09, 0), 2u);
  uei message;
  message.module = kPeerAddress;
  message.command = 0x03;
  message.option = 0x09;
  message.specifier = 0;
  EXPECT_EQ(link->receiveUEI(kPeerAddress, 0x03, 0x09, 0, &message), aErrTimeout);
  message.option = 0x08;
  EXPECT_EQ(link->receiveUEI(kPeerAddress, 0x03, 0x08, 0, &message), aErrNone);  // left alone
  EXPECT_EQ(message.value, 0x13u);
}

TEST_F(ObjectsTest, ConnectResults) {
  // No specifier.
  Link link("Link");
  linkSpec stored{};
  EXPECT_EQ(link.getLinkSpecifier(&stored), aErrNotFound);
  EXPECT_EQ(link.connect(), aErrConfiguration);
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.getStatus(), linkError);

  // Nothing listens on the port, or the transport creates nothing.
  uint16_t closedPort;
  {
    ScriptedModule gone(2);
    closedPort = gone.port();
  }
  linkSpec spec = specFor(peer);
  spec.t.ip.ipPort = closedPort;
  ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
  EXPECT_EQ(link.connect(), aErrConnection);
  EXPECT_FALSE(link.isConnected());
  spec.type = linkTypeAny;
  ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
  EXPECT_EQ(link.connect(), aErrConnection);

  // Connected: the specifier cannot be replaced, and the module's address is learned.
  ASSERT_EQ(link.setLinkSpecifier(specFor(peer)), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  EXPECT_TRUE(link.isConnected());
  EXPECT_EQ(link.getStatus(), linkRunning);
  EXPECT_EQ(link.setLinkSpecifier(spec), aErrBusy);
  ASSERT_EQ(link.getLinkSpecifier(&stored), aErrNone);
  EXPECT_EQ(stored.t.ip.ipPort, peer.port());
  EXPECT_EQ(stored.type, linkTypeTCPIP);
  uint8_t address = 0;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kPeerAddress);
  // connect again only checks the running link.
  EXPECT_EQ(link.connect(), aErrNone);
  EXPECT_EQ(peer.connectionsAccepted(), 1);

  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_FALSE(link.isConnected());
  address = 0x55;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  EXPECT_EQ(link.disconnect(), aErrNone);
}

TEST_F(ObjectsTest, ModuleConnectOperations) {
  Module module(2, uint8_t{0});
  linkSpec stored{};
  EXPECT_EQ(module.connect(linkTypeTCPIP, 0), aErrParam);
  EXPECT_EQ(module.getLinkSpecifier(&stored), aErrNotFound);
  EXPECT_FALSE(module.isConnected());

  ASSERT_EQ(module.connectFromSpec(specFor(peer)), aErrNone);
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), kPeerAddress);
  EXPECT_EQ(module.connectFromSpec(specFor(peer)), aErrBusy);

  // Without networking mode the address given stays.
  Module fixed(2, false, 0);
  ASSERT_EQ(fixed.connectFromSpec(specFor(peer)), aErrNone);
  EXPECT_EQ(fixed.getModuleAddress(), 2);

  // Reconnect after a disconnect makes a new engine link from the remembered specifier.
  int before = peer.connectionsAccepted();
  ASSERT_EQ(module.disconnect(), aErrNone);
  ASSERT_EQ(fixed.disconnect(), aErrNone);
  EXPECT_FALSE(module.isConnected());
  module.setModuleAddress(2);
  ASSERT_EQ(module.reconnect(), aErrNone);
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), kPeerAddress);
  EXPECT_EQ(peer.connectionsAccepted(), before + 1);
}

TEST_F(ObjectsTest, ModulesThroughARouterShareItsEngineLink) {
  peer.setRule([](const Bytes& request) {
    // Every module behind the router answers its serial number get with its own address.
    if (dataOf(request) == Bytes{0x03, 0x49, 0x20}) {
      return std::vector<Bytes>{frame(request[0], {0x03, 0x09, 0x00, 0, 0, 0, request[0]})};
    }
    return std::vector<Bytes>{};
  });
  Module router(2, uint8_t{0});
  Module behind(4, uint8_t{0});
  EXPECT_EQ(behind.connectThroughLinkModule(nullptr), aErrParam);
  EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNotFound);
  ASSERT_EQ(router.connectFromSpec(specFor(peer)), aErrNone);
  ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
  EXPECT_EQ(peer.connectionsAccepted(), 1);
  EXPECT_EQ(behind.getModuleAddress(), 4);
  EXPECT_FALSE(behind.getNetworkingMode());

  SystemClass routerSystem, behindSystem;
  routerSystem.init(&router, 0);
  behindSystem.init(&behind, 0);
  uint32_t serial = 0;
  ASSERT_EQ(behindSystem.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 4u);
  ASSERT_EQ(routerSystem.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, kPeerAddress);

  // The router answers the magic query, yet the module behind it keeps its address.
  ASSERT_EQ(behind.reconnect(), aErrNone);
  EXPECT_EQ(behind.getModuleAddress(), 4);

  // Dropping one use leaves the other working over the same connection.
  ASSERT_EQ(router.disconnect(), aErrNone);
  ASSERT_EQ(behindSystem.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 4u);
  EXPECT_EQ(peer.connectionsAccepted(), 1);
}

TEST(UEIFilter, MatchesAndDecodesReplies) {
  struct Case {
    const char* name;
    uint8_t address;
    Bytes data;
    bool accepted;
    ueiType type;
    uint32_t value;
    uint8_t specifier;
  };
  const std::vector<Case> cases = {
      {"no value", 2, {0x03, 0x09, 0x00}, true, ueiTypeNone, 0, 0x00},
      {"8-bit", 2, {0x03, 0x09, 0x00, 0x13}, true, ueiTypeByte, 0x13, 0x00},
      {"16-bit", 2, {0x03, 0x09, 0x00, 0x12, 0x34}, true, ueiTypeShort, 0x1234, 0x00},
      {"32-bit", 2, {0x03, 0x09, 0x00, 0xD2, 0x72, 0x03, 0x1D}, true, ueiTypeInt, 0xD272031D, 0x00},
      {"6 bytes: type and value unchanged", 2, {0x03, 0x09, 0x00, 1, 2, 3}, true, ueiTypeBytes, 77, 0x00},
      {"error reply of any length", 2, {0x03, 0x09, 0x80, 0x1D, 0x00, 0x00}, true, ueiTypeByte, 29, 0x80},
      {"other module", 4, {0x03, 0x09, 0x00, 0x13}, false, ueiTypeBytes, 77, 0x00},
      {"other command", 2, {0x05, 0x09, 0x00, 0x13}, false, ueiTypeBytes, 77, 0x00},
      {"option with set bits", 2, {0x03, 0xC9, 0x00, 0x13}, false, ueiTypeBytes, 77, 0x00},
      {"other index", 2, {0x03, 0x09, 0x01, 0x13}, false, ueiTypeBytes, 77, 0x00},
      {"index compared in the low 5 bits", 2, {0x03, 0x09, 0x20, 0x13}, true, ueiTypeByte, 0x13, 0x00},
      {"too short", 2, {0x03, 0x09}, false, ueiTypeBytes, 77, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    aPacket* packet = aPacket_CreateWithData(c.address, static_cast<uint8_t>(c.data.size()), c.data.data());
    ASSERT_NE(packet, nullptr);
    uei record;
    record.module = 2;
    record.command = 3;
    record.option = 9;
    record.specifier = 0;
    record.type = ueiTypeBytes;  // marks "unchanged"
    record.value = 77;
    EXPECT_EQ(sUEIFilter(packet, &record), c.accepted ? 1 : 0);
    EXPECT_EQ(record.type, c.type);
    EXPECT_EQ(record.value, c.value);
    EXPECT_EQ(record.specifier, c.specifier);
    (void)aPacket_Destroy(&packet);  // fails only for a null packet
  }
}

TEST(UEIBytes, SequenceByteHelpers) {
  EXPECT_EQ(getUEIBytesSequence(0x81), 1);
  EXPECT_TRUE(getUEIBytesContinue(0x81));
  EXPECT_EQ(getUEIBytesSequence(0x02), 2);
  EXPECT_FALSE(getUEIBytesContinue(0x02));
}

}  // namespace
