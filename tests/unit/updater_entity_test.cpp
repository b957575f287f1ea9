// The upgrade entity, the build-number and version queries and the device table, against a
// scripted module on a TCP port of 127.0.0.1 (the link is made from a specifier: nothing here
// discovers). The scripted module plays the module side of the upgrade protocol with switches
// for the replies a faulty module gives.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "FdCapture.h"
#include "Halyard.h"
#include "Log.h"
#include "RecordingDisplay.h"
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"
#include "log_capture.h"
#include "module_update/UpdaterEntity.h"
#include "scripted_module.h"
#include "support/InterruptGuard.h"
#include "support/TestHook.h"

using namespace engine;

namespace {

using namespace Tessaron::Halyard;
using Bytes = ScriptedModule::Bytes;

constexpr uint8_t kPeerAddress = 6;

Bytes frame(uint8_t address, const Bytes& data) {
  Bytes wire{address, static_cast<uint8_t>(data.size())};
  wire.insert(wire.end(), data.begin(), data.end());
  return wire;
}

Bytes dataOf(const Bytes& wire) { return Bytes(wire.begin() + 2, wire.end()); }

Bytes be32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value)};
}

Bytes pattern(size_t length, unsigned seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 37 + seed) & 0xFF);
  return bytes;
}

// Block as a bird file holds it: 4 address bytes, then the image.
Bytes block(uint32_t address, const Bytes& image) {
  Bytes bytes = be32(address);
  bytes.insert(bytes.end(), image.begin(), image.end());
  return bytes;
}

// The module side of the upgrade protocol, with switches for faulty replies. Rules run on the
// scripted module's thread under its lock; the test reads the switches only after the calls.
struct UpgradePeer {
  Bytes initReply = {0x5F, 0x00, 0x10, 0x00, 0x00, 0x00};
  Bytes prepareReply = {0x5F, 0x07, 0x00, 0x02, 0x00};
  int wrongCounts = 0;  // DATA packets still to be answered with a wrong count (-1: all)
  int wrongCount = 20;
  bool answerData = true;
  bool answerSum = true;
  uint32_t sumDelta = 0;
  uint8_t writeStatus = 0;
  bool answerWrite = true;
  bool answerLoad = true;
  uint32_t sum = 0;

  std::vector<Bytes> handle(const Bytes& wire) {
    Bytes data = dataOf(wire);
    if (data.size() < 2 || data[0] != 0x5F) return {};
    switch (data[1]) {
      case 0x00:
        return {frame(kPeerAddress, initReply)};
      case 0x03:
        sum = 0;
        return {frame(kPeerAddress, prepareReply)};
      case 0x01: {
        if (!answerData) return {};
        uint8_t count = static_cast<uint8_t>(data.size() - 2);
        if (wrongCounts != 0) {
          if (wrongCounts > 0) --wrongCounts;
          return {frame(kPeerAddress, {0x5F, 0x01, static_cast<uint8_t>(wrongCount)})};
        }
        for (size_t i = 2; i < data.size(); ++i) sum += data[i];
        return {frame(kPeerAddress, {0x5F, 0x01, count})};
      }
      case 0x04: {
        if (!answerSum) return {};
        Bytes reply = {0x5F, 0x07, 0x00};
        Bytes value = be32(sum + sumDelta);
        reply.insert(reply.end(), value.begin(), value.end());
        sum = 0;
        return {frame(kPeerAddress, reply)};
      }
      case 0x05:
        if (!answerWrite) return {};
        return {frame(kPeerAddress, {0x5F, 0x07, writeStatus})};
      case 0x02:
        if (!answerLoad) return {};
        return {frame(kPeerAddress, {0x5F, 0x02, 0x00})};
      default:
        return {};
    }
  }
};

class UpgradeTest : public ::testing::Test {
 protected:
  ScriptedModule peer{kPeerAddress};
  UpgradePeer upgrade;
  std::unique_ptr<Module> module;
  UpdaterEntity entity;
  RecordingDisplay display;

  void SetUp() override {
    peer.setRule([this](const Bytes& wire) { return upgrade.handle(wire); });
    linkSpec spec{};
    spec.type = linkTypeTCPIP;
    spec.serialNumber = 0x0F5849A1;
    spec.t.ip.ipAddress = ScriptedModule::loopback();
    spec.t.ip.ipPort = peer.port();
    module = std::make_unique<Module>(2, uint8_t{0});
    ASSERT_EQ(module->connectFromSpec(spec), aErrNone);
    ASSERT_EQ(module->getModuleAddress(), kPeerAddress);
    entity.init(module.get(), 0, true);
  }

  // Upgrade requests received (data bytes), oldest first.
  std::vector<Bytes> upgradeRequests() {
    std::vector<Bytes> result;
    for (const Bytes& wire : peer.requests()) {
      Bytes data = dataOf(wire);
      if (!data.empty() && data[0] == 0x5F) result.push_back(data);
    }
    return result;
  }

  std::vector<Bytes> requestsWithOption(uint8_t option) {
    std::vector<Bytes> result;
    for (const Bytes& data : upgradeRequests()) {
      if (data.size() >= 2 && data[1] == option) result.push_back(data);
    }
    return result;
  }

  // The lengths of the DATA packets sent, and the option of every request in order.
  std::vector<size_t> dataLengths() {
    std::vector<size_t> lengths;
    for (const Bytes& data : requestsWithOption(0x01)) lengths.push_back(data.size() - 2);
    return lengths;
  }
  std::vector<uint8_t> options() {
    std::vector<uint8_t> result;
    for (const Bytes& data : upgradeRequests()) result.push_back(data[1]);
    return result;
  }
};

TEST_F(UpgradeTest, BlockTransferSendsChunksOf26ThenChecksTheWrappingByteSum) {
  Bytes image = pattern(60, 200);
  uint32_t packets = 0;
  EXPECT_EQ(entity._block_transfer(image.data(), static_cast<uint32_t>(image.size()), packets), aErrNone);
  EXPECT_EQ(packets, 3u);
  EXPECT_EQ(dataLengths(), (std::vector<size_t>{26, 26, 8}));
  EXPECT_EQ(options(), (std::vector<uint8_t>{1, 1, 1, 4}));
  Bytes sent;
  for (const Bytes& data : requestsWithOption(0x01)) sent.insert(sent.end(), data.begin() + 2, data.end());
  EXPECT_EQ(sent, image);
  EXPECT_EQ(upgrade.sum, 0u);  // the peer reset its sum when it answered SUM with the same value
}

TEST_F(UpgradeTest, WrongDataCountResendsTheSameChunkWithoutCountingIt) {
  upgrade.wrongCounts = 1;
  Bytes image = pattern(60, 3);
  uint32_t packets = 0;
  EXPECT_EQ(entity._block_transfer(image.data(), 60, packets), aErrNone);
  EXPECT_EQ(dataLengths(), (std::vector<size_t>{26, 26, 26, 8}));
  std::vector<Bytes> data = requestsWithOption(0x01);
  EXPECT_EQ(data[0], data[1]);  // the refused chunk again, unchanged
  EXPECT_EQ(packets, 3u);
  // The SUM check passed, so the host's sum left the refused copy out as the module did.
}

TEST_F(UpgradeTest, AChunkRefusedForeverEndsAfterTenResends) {
  upgrade.wrongCounts = -1;
  Bytes image = pattern(60, 9);
  uint32_t packets = 0;
  EXPECT_EQ(entity._block_transfer(image.data(), 60, packets), aErrPacket);
  EXPECT_EQ(dataLengths(), std::vector<size_t>(1 + kUpgradeDataResends, 26));
  EXPECT_TRUE(requestsWithOption(0x04).empty());
  EXPECT_EQ(packets, 0u);
}

TEST_F(UpgradeTest, BlockTransferFailures) {
  struct Case {
    const char* name;
    void (*fault)(UpgradePeer&);
    aErr result;
  } cases[] = {
      {"module sum differs", [](UpgradePeer& p) { p.sumDelta = 1; }, aErrInvalidOption},
      {"no SUM reply", [](UpgradePeer& p) { p.answerSum = false; }, aErrPacket},
      {"no DATA reply", [](UpgradePeer& p) { p.answerData = false; }, aErrPacket},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    upgrade = UpgradePeer();
    c.fault(upgrade);
    Bytes image = pattern(30, 1);
    uint32_t packets = 0;
    EXPECT_EQ(entity._block_transfer(image.data(), 30, packets), c.result);
  }
}

// A signal while the last chunk is answered: the SUM is not sent, and the transfer ends with the
// signal as its cause, at once, rather than waiting out a reply that cannot come and naming the
// module for it.
volatile sig_atomic_t signalAfterGuard = 0;
void noteSignalAfterGuard(int number) { signalAfterGuard = number; }

TEST_F(UpgradeTest, ASignalBeforeTheSumEndsTheTransferWithItsCause) {
  struct sigaction noting {}, previous {};
  noting.sa_handler = noteSignalAfterGuard;
  sigemptyset(&noting.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &noting, &previous), 0);
  Bytes image = pattern(30, 1);
  {
    InterruptGuard interruptible;
    peer.setRule([this](const Bytes& wire) {
      Bytes data = dataOf(wire);
      std::vector<Bytes> replies = upgrade.handle(wire);
      // The second chunk (the last one) is answered, then the signal comes.
      if (data.size() >= 2 && data[0] == 0x5F && data[1] == 0x01 && data.size() - 2 < 26) raise(SIGINT);
      return replies;
    });
    uint32_t packets = 0;
    EXPECT_EQ(entity._block_transfer(image.data(), 30, packets), aErrCancel);
    EXPECT_EQ(entity.Failure(), "SUM not sent: interrupted by SIGINT");
    EXPECT_TRUE(requestsWithOption(0x04).empty());
    EXPECT_EQ(dataLengths(), (std::vector<size_t>{26, 4}));
  }
  // The guard hands the signal on once it is gone: to the handler that was there before it.
  EXPECT_EQ(signalAfterGuard, SIGINT);
  sigaction(SIGINT, &previous, nullptr);
}

TEST_F(UpgradeTest, WithoutValidationNoSumIsAsked) {
  entity.init(module.get(), 0, false);
  upgrade.sumDelta = 1;
  Bytes image = pattern(30, 1);
  uint32_t packets = 0;
  EXPECT_EQ(entity._block_transfer(image.data(), 30, packets), aErrNone);
  EXPECT_TRUE(requestsWithOption(0x04).empty());
}

TEST_F(UpgradeTest, LoaderInitNeedsTheLoadBase) {
  struct Case {
    const char* name;
    Bytes reply;
    bool answer;
    aErr result;
  } cases[] = {
      {"load base", {0x5F, 0x00, 0x10, 0x00, 0x00, 0x00}, true, aErrNone},
      {"5-byte reply", {0x5F, 0x00, 0x10, 0x00, 0x00}, true, aErrPacket},
      {"no reply", {}, false, aErrTimeout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    peer.clearFrames();
    Bytes reply = c.reply;
    bool answer = c.answer;
    peer.setRule([reply, answer](const Bytes& wire) {
      return answer && dataOf(wire) == Bytes{0x5F, 0x00} ? std::vector<Bytes>{frame(kPeerAddress, reply)}
                                                         : std::vector<Bytes>{};
    });
    EXPECT_EQ(entity.LoaderInit(), c.result);
    EXPECT_EQ(upgradeRequests(), (std::vector<Bytes>{{0x5F, 0x00}}));
  }
}

TEST_F(UpgradeTest, TransferPrepareAnnouncesFlagsAndAddressAndReadsTheBlockSize) {
  struct Case {
    const char* name;
    Bytes reply;
    aErr result;
    uint16_t blockSize;
  } cases[] = {
      {"status 0", {0x5F, 0x07, 0x00, 0x02, 0x00}, aErrNone, 512},
      {"status 1", {0x5F, 0x07, 0x01, 0x02, 0x00}, aErrInvalidOption, 7},
      {"no block size", {0x5F, 0x07, 0x00}, aErrInvalidOption, 7},
      {"no reply", {}, aErrTimeout, 7},
  };
  Bytes loader = block(0x10000400, pattern(10, 0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    peer.clearFrames();
    upgrade.prepareReply = c.reply;
    if (c.reply.empty()) peer.setRule([](const Bytes&) { return std::vector<Bytes>{}; });
    uint16_t blockSize = 7;
    EXPECT_EQ(entity.TransferPrepare(loader.data(), static_cast<uint32_t>(loader.size()), 0x03, blockSize), c.result);
    EXPECT_EQ(blockSize, c.blockSize);
    EXPECT_EQ(upgradeRequests(), (std::vector<Bytes>{{0x5F, 0x03, 0x03, 0x10, 0x00, 0x04, 0x00}}));
  }
}

TEST_F(UpgradeTest, LoaderTransferSendsTheImageAfterTheAddress) {
  Bytes image = pattern(40, 5);
  Bytes loader = block(0x10000000, image);
  EXPECT_EQ(entity.LoaderTransfer(loader.data(), static_cast<uint32_t>(loader.size())), aErrNone);
  Bytes sent;
  for (const Bytes& data : requestsWithOption(0x01)) sent.insert(sent.end(), data.begin() + 2, data.end());
  EXPECT_EQ(sent, image);
}

TEST_F(UpgradeTest, FirmwareIsSentInChunksOfTheBlockSizeEachCheckedAndWritten) {
  Log::timestamped = true;
  Bytes image = pattern(1000, 11);
  Bytes firmware = block(0, image);
  EXPECT_EQ(entity.FirmwareTransfer(firmware.data(), static_cast<uint32_t>(firmware.size()), 512, display), aErrNone);
  EXPECT_FALSE(Log::timestamped);

  std::vector<Bytes> writes = requestsWithOption(0x05);
  EXPECT_EQ(writes, (std::vector<Bytes>{{0x5F, 0x05, 0x02, 0x00}, {0x5F, 0x05, 0x01, 0xE8}}));
  // Each chunk: its DATA packets, one SUM, one WRITE.
  std::vector<uint8_t> order = options();
  std::vector<uint8_t> expected;
  for (size_t chunk : {512u, 488u}) {
    expected.insert(expected.end(), (chunk + 25) / 26, 1);
    expected.push_back(4);
    expected.push_back(5);
  }
  EXPECT_EQ(order, expected);
  EXPECT_EQ(display.drawn, (std::vector<std::string>{"progress:start", "progress:" + std::to_string(0.512),
                                                      "progress:" + std::to_string(1.0), "progress:end"}));
}

TEST_F(UpgradeTest, FirmwareTransferStopsAtTheFirstFailure) {
  struct Case {
    const char* name;
    void (*fault)(UpgradePeer&);
    aErr result;
    size_t writes;
  } cases[] = {
      {"write refused", [](UpgradePeer& p) { p.writeStatus = 2; }, aErrInvalidOption, 1},
      {"no write reply", [](UpgradePeer& p) { p.answerWrite = false; }, aErrInvalidOption, 1},
      {"sum differs", [](UpgradePeer& p) { p.sumDelta = 1; }, aErrInvalidOption, 0},
  };
  Bytes firmware = block(0, pattern(1000, 2));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    peer.clearFrames();
    upgrade = UpgradePeer();
    c.fault(upgrade);
    RecordingDisplay shown;
    EXPECT_EQ(entity.FirmwareTransfer(firmware.data(), static_cast<uint32_t>(firmware.size()), 512, shown), c.result);
    EXPECT_EQ(requestsWithOption(0x05).size(), c.writes);
    EXPECT_EQ(shown.drawn.back(), "progress:end");
  }
}

TEST_F(UpgradeTest, BlockSizeZeroIsRefusedBeforeAnythingIsSent) {
  Bytes firmware = block(0, pattern(100, 2));
  EXPECT_EQ(entity.FirmwareTransfer(firmware.data(), static_cast<uint32_t>(firmware.size()), 0, display),
            aErrInvalidOption);
  EXPECT_TRUE(upgradeRequests().empty());
  EXPECT_TRUE(display.drawn.empty());
}

TEST_F(UpgradeTest, LoaderStartAnswered) {
  EXPECT_EQ(entity.LoaderStart(), aErrNone);
  EXPECT_EQ(upgradeRequests(), (std::vector<Bytes>{{0x5F, 0x02}}));
  EXPECT_EQ(peer.connectionsAccepted(), 1);
}

TEST_F(UpgradeTest, UnansweredLoaderStartReconnectsAndWaitsOnceMore) {
  upgrade.answerLoad = false;
  EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
  // The link was dropped and made again (the first reconnect attempt succeeds here).
  EXPECT_EQ(peer.connectionsAccepted(), 2);
  EXPECT_TRUE(module->isConnected());
  EXPECT_EQ(requestsWithOption(0x02).size(), 1u);
}

TEST_F(UpgradeTest, RebootOfAModuleWhoseLinkIsDownReturnsAtOnce) {
  (void)module->disconnect();
  EXPECT_EQ(entity.LoaderReboot(display), aErrConnection);
  EXPECT_EQ(display.drawn, (std::vector<std::string>{"spin:end"}));
}

TEST_F(UpgradeTest, RebootWaitEndsWhenTheLinkNeverDrops) {
  // The scripted module keeps its connection after REBOOT and answers on; the wait ends at its
  // bound (30 s), cut short here by the test hook.
  ASSERT_EQ(setenv(kTestHookLongWaitVariable, "600", 1), 0);
  LogCapture log(DEBUG_Always);
  aErr result = entity.LoaderReboot(display);
  unsetenv(kTestHookLongWaitVariable);
  EXPECT_EQ(result, aErrNone);
  EXPECT_TRUE(log.contains("NETWORK: Link did not drop within 600 ms of the reboot request; wait ended\n")) << log.text();
  EXPECT_TRUE(module->isConnected());
  EXPECT_EQ(requestsWithOption(0x06).size(), 1u);
  ASSERT_GE(display.drawn.size(), 2u);
  EXPECT_EQ(display.drawn.back(), "spin:end");
  EXPECT_EQ(std::count(display.drawn.begin(), display.drawn.end(), "spin"),
            static_cast<long>(display.drawn.size() - 1));
}

// ---- a module bus that loses answers -----------------------------------------------------------

// The module side as the module firmware keeps it: INIT and PREPARE set its state; DATA appends
// (written at once while receiving the loader, held until WRITE while receiving firmware); SUM
// answers the sum since the last SUM and starts it again; WRITE commits exactly what is held. A
// second copy of a DATA therefore lands twice, as it would in the module. Between module and
// host sits a bus that loses every `loseEvery`-th answer after the module acted on the request,
// or (requestsLost) every `loseEvery`-th request before it reaches the module; from answer
// `deadAfter` on it loses everything.
struct BusModule {
  bool firmwareMode = false;
  std::map<uint32_t, uint8_t> memory;
  uint32_t address = 0;
  uint32_t offset = 0;
  bool prepared = false;
  Bytes pending;
  uint32_t sum = 0;
  unsigned loseEvery = 0;
  bool requestsLost = false;
  unsigned deadAfter = 0;
  unsigned seen = 0;
  unsigned lost = 0;

  std::vector<Bytes> handle(const Bytes& wire) {
    Bytes data = dataOf(wire);
    if (data.size() < 2 || data[0] != 0x5F) return {};
    ++seen;
    const bool dead = deadAfter != 0 && seen >= deadAfter;
    const bool lose = dead || (loseEvery != 0 && seen % loseEvery == 0);
    if (lose && requestsLost && !dead) {
      ++lost;
      return {};
    }
    Bytes reply = act(data);
    if (lose || reply.empty()) {
      lost += lose ? 1 : 0;
      return {};
    }
    return {frame(kPeerAddress, reply)};
  }

  Bytes act(const Bytes& data) {
    switch (data[1]) {
      case 0x00:
        prepared = false;
        return {0x5F, 0x00, 0x10, 0x00, 0x00, 0x00};
      case 0x03:
        address = (uint32_t{data[3]} << 24) | (uint32_t{data[4]} << 16) | (uint32_t{data[5]} << 8) | data[6];
        offset = 0;
        pending.clear();
        sum = 0;
        prepared = true;
        return {0x5F, 0x07, 0x00, 0x02, 0x00};
      case 0x01:
        if (!prepared) return {0x5F, 0x01, 0x00};
        for (size_t i = 2; i < data.size(); ++i) {
          sum += data[i];
          if (firmwareMode) {
            pending.push_back(data[i]);
          } else {
            memory[address + offset++] = data[i];
          }
        }
        return {0x5F, 0x01, static_cast<uint8_t>(data.size() - 2)};
      case 0x04: {
        Bytes reply = {0x5F, 0x07, 0x00};
        Bytes value = be32(sum);
        reply.insert(reply.end(), value.begin(), value.end());
        sum = 0;
        return reply;
      }
      case 0x05: {
        const size_t length = (size_t{data[2]} << 8) | data[3];
        if (!firmwareMode || length != pending.size()) {
          pending.clear();
          return {0x5F, 0x07, 0x02};
        }
        for (uint8_t byte : pending) memory[address + offset++] = byte;
        pending.clear();
        return {0x5F, 0x07, 0x00};
      }
      default:
        return {};
    }
  }

  // The bytes held from `start` on, up to the first gap.
  Bytes held(uint32_t start) const {
    Bytes bytes;
    for (auto at = memory.find(start); at != memory.end() && at->first == start + bytes.size(); ++at) {
      bytes.push_back(at->second);
    }
    return bytes;
  }
};

class LossyBusTest : public UpgradeTest {
 protected:
  BusModule bus;

  void SetUp() override {
    UpgradeTest::SetUp();
    peer.setRule([this](const Bytes& wire) { return bus.handle(wire); });
    module->getLink()->setReplyTimeout(100);  // a lost answer costs this wait, not a second
    entity.askAgainWhenLost(true);
  }

  // PREPARE, then the block as the update flow sends it.
  aErr transfer(const Bytes& data) {
    uint16_t blockSize = 0;
    aErr result = entity.TransferPrepare(data.data(), static_cast<uint32_t>(data.size()), 1, blockSize);
    if (result != aErrNone) return result;
    if (!bus.firmwareMode) return entity.LoaderTransfer(data.data(), static_cast<uint32_t>(data.size()));
    return entity.FirmwareTransfer(data.data(), static_cast<uint32_t>(data.size()), blockSize, display);
  }
};

TEST_F(LossyBusTest, LostAnswersAndRequestsLeaveTheExactImageInTheModule) {
  // Whole DATA packets of zero bytes, whose sum cannot tell whether the module took them.
  Bytes zeros(700, 0);
  std::copy_n(pattern(100, 9).begin(), 100, zeros.begin() + 200);
  struct Case {
    const char* name;
    unsigned loseEvery;
    bool requestsLost;
    Bytes image;
  } cases[] = {
      {"one answer in ten lost", 10, false, pattern(700, 4)},
      {"one answer in five lost", 5, false, pattern(700, 6)},
      {"one request in seven lost", 7, true, pattern(700, 8)},
      {"answers lost in runs of zero bytes", 10, false, zeros},
      {"one answer in five lost in runs of zero bytes", 5, false, zeros},
  };
  for (bool firmware : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (firmware ? ", firmware" : ", loader"));
      peer.clearFrames();
      bus = BusModule();
      bus.firmwareMode = firmware;
      bus.loseEvery = c.loseEvery;
      bus.requestsLost = c.requestsLost;
      EXPECT_EQ(transfer(block(0x2000, c.image)), aErrNone) << entity.Failure();
      EXPECT_GE(bus.lost, 3u);
      EXPECT_EQ(bus.held(0x2000), c.image);
      EXPECT_EQ(bus.memory.size(), c.image.size());  // nothing written anywhere else
      // Where a lost DATA of zero bytes left the module's state open, the block was resumed.
      if (c.image == zeros) {
        EXPECT_GT(requestsWithOption(0x03).size(), 1u);
      }
    }
  }
}

TEST_F(LossyBusTest, WithoutLossesThePacketsAreThoseOfThePlainTransfer) {
  bus.firmwareMode = true;
  ASSERT_EQ(transfer(block(0, pattern(1000, 3))), aErrNone);
  std::vector<uint8_t> expected = {3};
  for (size_t chunk : {512u, 488u}) {
    expected.insert(expected.end(), (chunk + 25) / 26, 1);
    expected.push_back(4);
    expected.push_back(5);
  }
  EXPECT_EQ(options(), expected);
}

TEST_F(LossyBusTest, ABusThatGoesDeadEndsTheTransferWithinItsBound) {
  struct Case {
    const char* name;
    unsigned deadAfter;
    const char* cause;
  } cases[] = {
      {"dead before PREPARE", 1, "no reply to PREPARE within 1000 ms, asked 3 times"},
      {"dead inside the block", 30, "no reply to PREPARE within 1000 ms, asked 3 times"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    peer.clearFrames();
    bus = BusModule();
    bus.firmwareMode = true;
    bus.deadAfter = c.deadAfter;
    EXPECT_NE(transfer(block(0, pattern(3000, 1))), aErrNone);
    EXPECT_EQ(entity.Failure(), c.cause);
    // After the bus died: at most a DATA, the SUM asking where the module stands and three PREPAREs.
    EXPECT_LE(upgradeRequests().size(), c.deadAfter + 5);
  }
}

TEST_F(LossyBusTest, InitIsAskedAgainOnlyWhenAsked) {
  bus.deadAfter = 1;
  EXPECT_EQ(entity.LoaderInit(), aErrTimeout);
  EXPECT_EQ(entity.Failure(), "no reply to INIT within 1000 ms, asked 3 times");
  EXPECT_EQ(requestsWithOption(0x00).size(), kUpgradeAsks);
  peer.clearFrames();
  entity.askAgainWhenLost(false);
  EXPECT_EQ(entity.LoaderInit(), aErrTimeout);
  EXPECT_EQ(requestsWithOption(0x00).size(), 1u);
}

TEST_F(LossyBusTest, ALostAnswerEndsThePlainTransfer) {
  entity.askAgainWhenLost(false);
  bus.firmwareMode = true;
  bus.loseEvery = 10;
  EXPECT_NE(transfer(block(0, pattern(1500, 4))), aErrNone);
  EXPECT_EQ(entity.Failure(), "no reply to DATA within 1000 ms");
}

// ---- discovery queries on a connected module --------------------------------------------------

class QueryTest : public UpgradeTest {};

TEST_F(QueryTest, BuildNumberReplies) {
  struct Case {
    const char* name;
    std::vector<Bytes> replies;
    uint32_t build;
  } cases[] = {
      {"six bytes", {frame(kPeerAddress, {0x49, 0xFF, 0x05, 0xEE, 0x8B, 0xEE})}, 99519470},
      {"seven bytes", {frame(kPeerAddress, {0x49, 0xFF, 0x05, 0xEE, 0x8B, 0xEE, 0x00})}, 0},
      {"other replies passed over",
       {frame(kPeerAddress, {0x49, 0xFE, 1, 2, 3, 4}), frame(kPeerAddress, {0x49, 0xFF, 0, 0, 0x04, 0xD2})},
       1234},
      {"no reply", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    peer.clearFrames();
    std::vector<Bytes> replies = c.replies;
    peer.setRule([replies](const Bytes& wire) {
      return dataOf(wire) == Bytes{0x49, 0xFF} ? replies : std::vector<Bytes>{};
    });
    EXPECT_EQ(_get_build_number(*module), c.build);
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(peer.requests()[0], frame(kPeerAddress, {0x49, 0xFF}));
  }
}

TEST_F(QueryTest, VersionAndAddressesFillTheRecordUntilTheFirstFailure) {
  bool answerRouter = true;
  peer.setRule([&answerRouter](const Bytes& wire) -> std::vector<Bytes> {
    Bytes data = dataOf(wire);
    if (data == Bytes{0x03, 0x47, 0x20}) return {frame(kPeerAddress, {0x03, 0x07, 0x00, 0x21, 0x00, 0x00, 0x05})};
    if (data == Bytes{0x03, 0x41, 0x20}) return {frame(kPeerAddress, {0x03, 0x01, 0x00, 0x06})};
    if (data == Bytes{0x03, 0x42, 0x20}) {
      if (!answerRouter) return {frame(kPeerAddress, {0x03, 0x02, 0x80, 0x1D})};
      return {frame(kPeerAddress, {0x03, 0x02, 0x00, 0x02})};
    }
    return {};
  });
  DeviceInfo record;
  EXPECT_EQ(_get_version(*module, record), aErrNone);
  EXPECT_EQ(record.versionMajor, 2);
  EXPECT_EQ(record.versionMinor, 1);
  EXPECT_EQ(record.versionPatch, 5u);
  EXPECT_EQ(record.spec.moduleAddress, 6u);
  EXPECT_EQ(record.spec.router, 2u);

  answerRouter = false;
  DeviceInfo failed;
  EXPECT_EQ(_get_version(*module, failed), aErrInvalidOption);
  EXPECT_EQ(failed.spec.moduleAddress, 6u);
  EXPECT_EQ(failed.spec.router, 0u);
}

// ---- the device table --------------------------------------------------------------------------

DeviceInfo record(linkType type, uint32_t serial, uint8_t address, uint8_t router, const char* model,
                  uint32_t version, uint32_t build, aErr error = aErrNone) {
  DeviceInfo info;
  info.spec.type = type;
  info.spec.serialNumber = serial;
  info.spec.moduleAddress = address;
  info.spec.router = router;
  if (type == linkTypeTCPIP) {
    const uint8_t ip[4] = {10, 77, 0, 2};
    memcpy(&info.spec.t.ip.ipAddress, ip, sizeof ip);
  }
  info.modelName = model;
  info.versionMajor = static_cast<uint8_t>(version >> 28);
  info.versionMinor = static_cast<uint8_t>((version >> 24) & 0xF);
  info.versionPatch = version & 0xFFFFFF;
  info.buildNumber = build;
  info.error = error;
  return info;
}

std::string table(const std::vector<DeviceInfo>& list, linkType type) {
  CaptureFile out;
  CLI_Display display;
  {
    FdRedirect toOut(stdout, out.fd());
    _display_device_list(display, list, type);
  }
  return out.text();
}

TEST(DeviceTable, Lines) {
  struct Case {
    const char* name;
    std::vector<DeviceInfo> list;
    linkType type;
    std::string text;
  } cases[] = {
      {"no USB module", {}, linkTypeUSB, "Discovered Devices: (USB)\n    No devices found.\n"},
      {"no module, no transport given", {}, linkTypeAny, "Discovered Devices: (Unknown)\n    No devices found.\n"},
      {"USB modules, one held by another program",
       {record(linkTypeUSB, 0x0F5849A1, 2, 2, "Osprey", 0x21000005, 99519470),
        record(linkTypeUSB, 0xD272031D, 4, 4, "Plover", 0, 0, aErrConnection)},
       linkTypeUSB,
       "Discovered Devices: (USB)\n"
       "    Device    Module   Router  Model          Firmware Version (Build)\n"
       "    0F5849A1  02       02      Osprey         2.1.5 (99519470)\n"
       "    D272031D  [Error (25): Is someone else connected to this device?]\n"},
      {"TCP/IP modules show their address and never the error",
       {record(linkTypeTCPIP, 0x0F5849A1, 0x0A, 0xFE, "Osprey", 0xF1ABCDEF, 4294967295u),
        record(linkTypeTCPIP, 0xD272031D, 4, 4, "Plover", 0, 0, aErrConnection)},
       linkTypeTCPIP,
       "Discovered Devices: (TCPIP)\n"
       "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]\n"
       "    0F5849A1  0A       FE      Osprey        15.1.11259375 (4294967295) [10.77.0.2]\n"
       "    D272031D  04       04      Plover         0.0.0 (0) [10.77.0.2]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(table(c.list, c.type), c.text);
  }
}

}  // namespace
