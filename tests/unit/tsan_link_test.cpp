// The link engine against a scripted module on 127.0.0.1 (and a pseudo-terminal for the serial
// and kernel-node paths): control frames, heartbeats, synchronisation, sharing, stopping, failure
// reporting, and random bytes from the module.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "LoopbackPeer.h"
#include "aLink.h"
#include "aLinkInternal.h"
#include "hyusb.h"
#include "pty_support.h"

namespace {

using Bytes = LoopbackPeer::Bytes;
using Clock = std::chrono::steady_clock;

// Long enough that only the engine's own behaviour can end the wait before the test's limit.
constexpr unsigned long kForever = 600000;

const Bytes kStartFrame = {0xAF, 0x01, 0x01};
const Bytes kStopFrame = {0xAF, 0x01, 0x00};
const Bytes kSyncPattern = {0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00};
const Bytes kSyncAnswer = {0x04, 0x00, 0x04, 0x00};

struct PacketDeleter {
  void operator()(aPacket* packet) const { (void)aPacket_Destroy(&packet); }  // deleter: null is fine
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

uint8_t anyPacket(const aPacket*, const void*) { return 1; }

uint8_t fromAddress(const aPacket* packet, const void* ref) {
  return packet->address == *static_cast<const uint8_t*>(ref);
}

bool waitForStatus(uint32_t id, linkStatus wanted, int timeoutMs = 5000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (aLink_GetStatus(id) != wanted) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

template <typename Condition>
bool waitUntil(Condition condition, int timeoutMs = 5000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class Link : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.listening());
    entriesBefore = aLink_TableSize();
    id = aLink_CreateTCPIP(LoopbackPeer::address(), peer.port());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(peer.awaitReceived(kStartFrame));
    ASSERT_TRUE(waitForStatus(id, linkRunning));
  }

  void TearDown() override {
    if (id != 0) {
      EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    }
    EXPECT_EQ(aLink_TableSize(), entriesBefore);
  }

  // Answers every synchronisation pattern the engine writes, as a module at address 4 would,
  // until the link runs again with no pattern left unanswered.
  bool answerSynchronisation() {
    size_t answered = 0;
    return waitUntil([&] {
      size_t patterns = LoopbackPeer::count(peer.received(), kSyncPattern);
      for (; answered < patterns; ++answered) peer.send(kSyncAnswer);
      return aLink_GetStatus(id) == linkRunning && LoopbackPeer::count(peer.received(), kSyncPattern) == answered;
    });
  }

  // Plays the module after a burst of bad bytes: answers each synchronisation pattern and, while
  // the link reports running, sends a probe packet. True once a probe comes through intact.
  bool recoverAndProbe() {
    size_t answered = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
      size_t patterns = LoopbackPeer::count(peer.received(), kSyncPattern);
      for (; answered < patterns; ++answered) peer.send(kSyncAnswer);
      if (aLink_GetStatus(id) == linkRunning) {
        aLink_DrainPackets(id, anyPacket, nullptr);
        peer.send({0x08, 0x02, 0x11, 0x22});
        PacketPtr probe = awaitFrom(0x08, 100);
        if (probe && probe->dataSize == 2 && probe->data[0] == 0x11 && probe->data[1] == 0x22) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  PacketPtr awaitFrom(uint8_t address, unsigned long timeoutMs = 5000) {
    return PacketPtr(aLink_AwaitFirst(id, fromAddress, &address, timeoutMs));
  }

  LoopbackPeer peer;
  uint32_t id = 0;
  size_t entriesBefore = 0;
};

TEST_F(Link, StartWritesTheLinkStartFrameFirst) {
  Bytes received = peer.received();
  ASSERT_GE(received.size(), 3u);
  EXPECT_EQ(Bytes(received.begin(), received.begin() + 3), kStartFrame);
  EXPECT_EQ(aLink_UseCount(id), 1);
}

TEST_F(Link, PacketsTravelBothWays) {
  const uint8_t data[3] = {0x05, 0x01, 0x02};
  PacketPtr request(aPacket_CreateWithData(0x06, 3, data));
  ASSERT_EQ(aLink_PutPacket(id, request.get()), aErrNone);
  EXPECT_TRUE(peer.awaitReceived({0x06, 0x03, 0x05, 0x01, 0x02}));
  ASSERT_TRUE(peer.send({0x06, 0x02, 0x05, 0x7E}));
  PacketPtr reply = awaitFrom(0x06);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->dataSize, 2);
  EXPECT_EQ(reply->data[1], 0x7E);
}

TEST_F(Link, HeartbeatsAreAnsweredAndNotQueued) {
  struct Case {
    Bytes heartbeat, reply;
  };
  for (const Case& c : {Case{{0x04, 0x02, 0x00, 0x01}, {0x04, 0x02, 0x00, 0x03}},
                        Case{{0x04, 0x02, 0x00, 0x00}, {0x04, 0x02, 0x00, 0x02}},
                        Case{{0x08, 0x02, 0x00, 0xFF}, {0x08, 0x02, 0x00, 0x01}}}) {
    ASSERT_TRUE(peer.send(c.heartbeat));
    ASSERT_TRUE(peer.send({0x0A, 0x01, 0x33}));  // an ordinary packet behind it
    EXPECT_TRUE(peer.awaitReceived(c.reply));
    PacketPtr first(aLink_AwaitFirst(id, anyPacket, nullptr, 5000));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->address, 0x0A);  // the heartbeat never reached the queue
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
  }
}

std::atomic<int> gFilterCalls{0};
uint8_t swallowEverything(const aPacket*, void*) {
  ++gFilterCalls;
  return 1;
}

TEST_F(Link, UserFilterSwallowsHeartbeatsToo) {
  gFilterCalls = 0;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, swallowEverything, nullptr), aErrNone);
  ASSERT_TRUE(peer.send({0x04, 0x02, 0x00, 0x01, 0x0A, 0x00}));
  ASSERT_TRUE(waitUntil([] { return gFilterCalls == 2; }));
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
  // A later heartbeat is answered; an earlier reply would have been written before it.
  ASSERT_TRUE(peer.send({0x04, 0x02, 0x00, 0x05}));
  ASSERT_TRUE(peer.awaitReceived({0x04, 0x02, 0x00, 0x07}));
  EXPECT_FALSE(LoopbackPeer::contains(peer.received(), {0x04, 0x02, 0x00, 0x03}));
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(Link, OddByteStartsSynchronisationAndTheAnswerRestoresRunning) {
  peer.clearReceived();
  ASSERT_TRUE(peer.send({0xAD}));
  ASSERT_TRUE(peer.awaitReceived(kSyncPattern));
  ASSERT_TRUE(waitForStatus(id, linkSyncing));
  EXPECT_EQ(aLink_AwaitFirst(id, anyPacket, nullptr, kForever), nullptr);  // not running: at once
  ASSERT_TRUE(peer.send(kSyncAnswer));
  ASSERT_TRUE(waitForStatus(id, linkRunning));
  EXPECT_EQ(LoopbackPeer::count(peer.received(), kSyncPattern), 1u);
  ASSERT_TRUE(peer.send({0x06, 0x01, 0x44}));
  PacketPtr packet = awaitFrom(0x06);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->data[0], 0x44);
}

TEST_F(Link, SynchronisationNeedsTwoFramesFromOneAddress) {
  ASSERT_TRUE(peer.send({0x06, 0x1D}));  // a length of 29 is a framing error too
  ASSERT_TRUE(peer.awaitReceived(kSyncPattern));
  ASSERT_TRUE(waitForStatus(id, linkSyncing));
  ASSERT_TRUE(peer.send({0x04, 0x00, 0x06, 0x00}));  // two addresses: not in step
  ASSERT_TRUE(answerSynchronisation());
}

TEST_F(Link, AnAnswerArrivingAfterAMismatchStillRestoresRunning) {
  peer.clearReceived();
  ASSERT_TRUE(peer.send({0xAD}));
  ASSERT_TRUE(peer.awaitReceived(kSyncPattern));
  ASSERT_TRUE(peer.send({0x07}));  // out of step again before the answer comes
  ASSERT_TRUE(peer.send(kSyncAnswer));
  ASSERT_TRUE(waitForStatus(id, linkRunning));
  EXPECT_TRUE(waitUntil([this] { return LoopbackPeer::count(peer.received(), kSyncPattern) == 2; }));
}

TEST_F(Link, StoppingAnIdleLinkWritesTheStopFrameBeforeTheThreadsEnd) {
  ASSERT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
  ASSERT_TRUE(peer.awaitReceived(kStopFrame));
  Bytes received = peer.received();
  ASSERT_GE(received.size(), 6u);
  EXPECT_EQ(Bytes(received.end() - 3, received.end()), kStopFrame);
}

TEST_F(Link, StoppingABusyLinkWritesQueuedPacketsThenTheStopFrame) {
  for (uint8_t i = 0; i < 8; ++i) {
    PacketPtr packet(aPacket_CreateWithData(0x06, 1, &i));
    ASSERT_EQ(aLink_PutPacket(id, packet.get()), aErrNone);
  }
  ASSERT_EQ(aLink_Destroy(&id), aErrNone);
  ASSERT_TRUE(peer.awaitReceived(kStopFrame));
  Bytes received = peer.received();
  EXPECT_EQ(Bytes(received.end() - 6, received.end()), (Bytes{0x06, 0x01, 0x07, 0xAF, 0x01, 0x00}));
  EXPECT_EQ(LoopbackPeer::count(received, {0x06, 0x01}), 8u);
}

TEST_F(Link, TwoCreatesShareOneLinkAndTheSecondDestroyFreesIt) {
  uint32_t second = aLink_CreateTCPIP(LoopbackPeer::address(), peer.port());
  EXPECT_EQ(second, id);
  EXPECT_EQ(aLink_UseCount(id), 2);
  EXPECT_EQ(aLink_TableSize(), entriesBefore + 1);
  ASSERT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(aLink_GetStatus(id), linkRunning);
  uint32_t last = id;
  ASSERT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(last), linkInvalid);
  EXPECT_EQ(aLink_Destroy(&last), aErrParam);
  EXPECT_EQ(last, 0u);
}

TEST_F(Link, AnotherPortOnTheSameAddressIsAnotherModule) {
  LoopbackPeer other;
  uint32_t second = aLink_CreateTCPIP(LoopbackPeer::address(), other.port());
  ASSERT_NE(second, 0u);
  EXPECT_NE(second, id);
  ASSERT_TRUE(other.accept());
  EXPECT_TRUE(other.awaitReceived(kStartFrame));
  EXPECT_EQ(aErrNone, aLink_Destroy(&second));
}

TEST_F(Link, PeerGoneForGoodGivesIOErrorAndWaitsEndAtOnce) {
  // A caller already waiting is released when the link fails under it.
  std::thread waiter([this] { EXPECT_EQ(aLink_AwaitFirst(id, anyPacket, nullptr, kForever), nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  peer.closeListener();
  peer.closeConnection();
  ASSERT_TRUE(waitForStatus(id, linkIOError));
  waiter.join();
  EXPECT_EQ(aLink_AwaitFirst(id, anyPacket, nullptr, kForever), nullptr);
  // The reconnect was refused: that is why the link stopped.
  EXPECT_EQ(aLink_GetLostCause(id), aErrConnection);
}

TEST_F(Link, PeerClosingMidPacketAndComingBackDeliversOnlyWholePackets) {
  ASSERT_TRUE(peer.send({0x06, 0x05, 0x01, 0x02}));  // three bytes short
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  peer.closeConnection();
  ASSERT_TRUE(peer.accept());  // the link reconnects by itself
  ASSERT_TRUE(peer.send({0x04, 0x01, 0x77}));
  PacketPtr packet(aLink_AwaitFirst(id, anyPacket, nullptr, 5000));
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->address, 0x04);
  EXPECT_EQ(packet->dataSize, 1);
  EXPECT_EQ(packet->data[0], 0x77);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
  EXPECT_EQ(aLink_GetStatus(id), linkRunning);
  EXPECT_EQ(aLink_GetLostCause(id), aErrNone);  // a connection made again is no lost link
}

struct Validation {
  std::atomic<int> packets{0};
  std::atomic<int> malformed{0};
};

uint8_t validate(const aPacket* packet, void* ref) {
  Validation* validation = static_cast<Validation*>(ref);
  ++validation->packets;
  bool wellFormed = aVALIDPACKET(packet) && packet->address != 0 && (packet->address & 1) == 0 &&
                    packet->dataSize <= kPacketMaxData && aPacket_IsComplete(packet);
  if (!wellFormed) ++validation->malformed;
  return 0;  // let the engine go on as usual
}

TEST_F(Link, RandomBytesNeverDeliverMalformedPacketsAndTheLinkRecovers) {
  Validation validation;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, validate, &validation), aErrNone);
  std::mt19937 random(20240611);
  for (int round = 0; round < 4; ++round) {
    Bytes garbage;
    for (int i = 0; i < 300; ++i) {
      switch (random() % 5) {
        case 0: garbage.push_back(static_cast<uint8_t>(random() | 1)); break;         // odd address
        case 1: garbage.push_back(static_cast<uint8_t>(29 + random() % 227)); break;  // long length
        case 2: garbage.push_back(static_cast<uint8_t>(2 * (1 + random() % 127))); break;
        case 3: garbage.push_back(0x00); break;
        default: garbage.push_back(static_cast<uint8_t>(random())); break;
      }
    }
    ASSERT_TRUE(peer.send(garbage));
    // Any frame left open is closed by its longest length; the odd bytes after it are certain
    // framing errors, so the engine ends up synchronising.
    ASSERT_TRUE(peer.send(Bytes(31, 0x01)));
    EXPECT_TRUE(recoverAndProbe()) << "round " << round;
  }
  EXPECT_GT(validation.packets, 0);
  EXPECT_EQ(validation.malformed, 0);
  EXPECT_EQ(aErrNone, aLink_InstallUserPacketFilter(id, nullptr, nullptr));
}

TEST_F(Link, DrainPacketsRemovesMatchingInboundPackets) {
  ASSERT_TRUE(peer.send({0x06, 0x00, 0x08, 0x00, 0x06, 0x00, 0x0A, 0x00}));
  // The reader queues in arrival order: once the last packet is there, so are the others.
  ASSERT_TRUE(awaitFrom(0x0A));
  uint8_t six = 0x06;
  EXPECT_EQ(aLink_DrainPackets(id, fromAddress, &six), 2u);
  PacketPtr left(aLink_GetPacket(id));
  ASSERT_TRUE(left);
  EXPECT_EQ(left->address, 0x08);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

uint32_t gSelfDestroyId = 0;
std::atomic<bool> gSelfDestroyed{false};
uint8_t destroyOwnLink(const aPacket*, void*) {
  uint32_t self = gSelfDestroyId;
  gSelfDestroyed = aLink_Destroy(&self) == aErrNone;
  return 1;
}

TEST_F(Link, DestroyFromTheLinksOwnThreadIsCarriedOutSafely) {
  gSelfDestroyId = id;
  gSelfDestroyed = false;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, destroyOwnLink, nullptr), aErrNone);
  ASSERT_TRUE(peer.send({0x06, 0x00}));
  ASSERT_TRUE(waitUntil([] { return gSelfDestroyed.load(); }));
  EXPECT_EQ(aLink_GetStatus(id), linkInvalid);
  EXPECT_TRUE(peer.awaitReceived(kStopFrame));
  id = 0;
}

TEST_F(Link, ResetReopensTheConnectionAndStartsAgain) {
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  ASSERT_TRUE(peer.accept());
  EXPECT_TRUE(peer.awaitReceived(kStartFrame));
  EXPECT_TRUE(waitForStatus(id, linkRunning));
  ASSERT_TRUE(peer.send({0x06, 0x01, 0x10}));
  PacketPtr packet = awaitFrom(0x06);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->data[0], 0x10);
}

TEST_F(Link, PacketDebugLogRecordsBothDirections) {
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  ASSERT_TRUE(peer.send({0x06, 0x01, 0x10}));
  PacketPtr packet = awaitFrom(0x06);
  ASSERT_TRUE(packet);
  uint8_t bytes[kPacketMaxWire];
  size_t length = 0;
  bool sent = true;
  ASSERT_EQ(aLink_PacketDebug_Read(id, bytes, 2, &length, &sent), aErrOverrun);
  EXPECT_EQ(length, 3u);
  ASSERT_EQ(aLink_PacketDebug_Read(id, bytes, sizeof bytes, &length, &sent), aErrNone);
  EXPECT_FALSE(sent);
  EXPECT_EQ(Bytes(bytes, bytes + length), (Bytes{0x06, 0x01, 0x10}));
  EXPECT_EQ(aLink_PacketDebug_Read(id, bytes, sizeof bytes, &length, &sent), aErrNotFound);
}

TEST(LinkTable, UnknownIdentifiers) {
  EXPECT_EQ(aLink_GetStatus(0), linkInvalid);
  uint32_t unknown = 0xFFFFFFF0;
  EXPECT_EQ(aLink_Destroy(&unknown), aErrParam);
  EXPECT_EQ(unknown, 0u);
  EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
  PacketPtr packet(aPacket_CreateWithData(0x02, 0, nullptr));
  EXPECT_EQ(aLink_PutPacket(0xFFFFFFF0, packet.get()), aErrParam);
  EXPECT_EQ(aLink_AwaitFirst(0xFFFFFFF0, anyPacket, nullptr, kForever), nullptr);
  EXPECT_EQ(aLink_DrainPackets(0xFFFFFFF0, anyPacket, nullptr), 0u);
  EXPECT_EQ(aLink_InstallUserPacketFilter(0xFFFFFFF0, nullptr, nullptr), aErrParam);
  EXPECT_EQ(aLink_Reset(0xFFFFFFF0), aErrParam);
  EXPECT_EQ(aLink_GetLostCause(0xFFFFFFF0), aErrConnection);
  EXPECT_EQ(aLink_Create(nullptr), 0u);
}

TEST(LinkTable, FailedCreatesLeaveNoEntry) {
  size_t before = aLink_TableSize();
  EXPECT_EQ(aLink_CreateSerial(0x1234, "/dev/null", 1200), 0u);  // rate not offered
  EXPECT_EQ(aLink_CreateSerial(0x1234, "/nonexistent/port", 115200), 0u);
  uint16_t port;
  {
    LoopbackPeer gone;
    port = gone.port();
  }
  EXPECT_EQ(aLink_CreateTCPIP(LoopbackPeer::address(), port), 0u);
  EXPECT_EQ(aLink_TableSize(), before);
}

// A stream over a byte string; what is written to it is kept.
struct ScriptedStream {
  Bytes incoming;
  size_t at = 0;
  std::vector<Bytes> written;

  static aErr get(uint8_t* out, void* ref) {
    auto* self = static_cast<ScriptedStream*>(ref);
    if (self->at == self->incoming.size()) return aErrNotReady;
    *out = self->incoming[self->at++];
    return aErrNone;
  }
  static aErr write(const uint8_t* data, size_t length, void* ref) {
    static_cast<ScriptedStream*>(ref)->written.emplace_back(data, data + length);
    return aErrNone;
  }
  static aErr release(void*) { return aErrNone; }
};

TEST(LinkTable, DrivenLinkDoesTheThreadsWorkOnTheCallersThread) {
  ScriptedStream script;
  uint32_t id = aLink_CreateDriven(aStream_Create(ScriptedStream::get, nullptr, ScriptedStream::write,
                                                  ScriptedStream::release, &script));
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_GetStatus(id), linkRunning);
  // A heartbeat, a packet, then an odd byte where an address belongs.
  script.incoming = {0x04, 0x02, 0x00, 0x01, 0x04, 0x01, 0x33, 0xAD};
  EXPECT_EQ(aLink_DriveReader(id), 8u);
  EXPECT_EQ(aLink_GetStatus(id), linkSyncing);
  EXPECT_EQ(aLink_DriveWriter(id), 2u);
  EXPECT_EQ(script.written, (std::vector<Bytes>{kSyncPattern, kStartFrame, {0x04, 0x02, 0x00, 0x03}}));
  PacketPtr packet(aLink_GetPacket(id));
  ASSERT_TRUE(packet);
  EXPECT_EQ(Bytes(packet->data, packet->data + packet->dataSize), Bytes{0x33});
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
  script.incoming.insert(script.incoming.end(), kSyncAnswer.begin(), kSyncAnswer.end());
  EXPECT_EQ(aLink_DriveReader(id), kSyncAnswer.size());
  EXPECT_EQ(aLink_GetStatus(id), linkRunning);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);

  // A link with threads is not driven from outside.
  LoopbackPeer peer;
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &stream), aErrNone);
  uint32_t threaded = aLink_Create(stream);
  ASSERT_NE(threaded, 0u);
  EXPECT_EQ(aLink_DriveReader(threaded), 0u);
  EXPECT_EQ(aLink_DriveWriter(threaded), 0u);
  EXPECT_EQ(aLink_Destroy(&threaded), aErrNone);
}

TEST(LinkTable, CallerStreamLinksAreNeverShared) {
  LoopbackPeer first, second;
  aStreamRef a = nullptr, b = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), first.port(), &a), aErrNone);
  ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), second.port(), &b), aErrNone);
  uint32_t one = aLink_Create(a);
  uint32_t two = aLink_Create(b);
  ASSERT_NE(one, 0u);
  ASSERT_NE(two, 0u);
  EXPECT_NE(one, two);
  ASSERT_TRUE(first.accept() && second.accept());
  EXPECT_TRUE(first.awaitReceived(kStartFrame));
  EXPECT_TRUE(second.awaitReceived(kStartFrame));
  EXPECT_EQ(aErrNone, aLink_Destroy(&one));
  EXPECT_EQ(aErrNone, aLink_Destroy(&two));
  EXPECT_TRUE(first.awaitReceived(kStopFrame));
}

// A caller's stream whose writes wait until the test opens a gate: it stands for a module that
// has stopped reading.
struct GatedStream {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  bool entered = false;
  Bytes written;

  static aErr get(uint8_t*, void*) { return aErrNotReady; }
  static aErr write(const uint8_t* data, size_t length, void* ref) {
    GatedStream* self = static_cast<GatedStream*>(ref);
    std::unique_lock<std::mutex> lock(self->mutex);
    self->entered = true;
    self->changed.wait_for(lock, std::chrono::seconds(10), [self] { return self->open; });
    self->written.insert(self->written.end(), data, data + length);
    return aErrNone;
  }
  static aErr put(const uint8_t* byte, void* ref) { return write(byte, 1, ref); }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
};

TEST(LinkTable, StopFrameSurvivesAFullOutboundQueue) {
  GatedStream gated;
  uint32_t id = aLink_Create(aStream_Create(GatedStream::get, GatedStream::put, GatedStream::write, nullptr, &gated));
  ASSERT_NE(id, 0u);
  // The writer is held in the write of the start frame; 20 more packets fill the queue.
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard<std::mutex> lock(gated.mutex);
    return gated.entered;
  }));
  for (uint8_t i = 0; i < 20; ++i) {
    PacketPtr packet(aPacket_CreateWithData(0x06, 1, &i));
    ASSERT_EQ(aLink_PutPacket(id, packet.get()), aErrNone);
  }
  const uint32_t link = id;
  std::thread stopper([&] { EXPECT_EQ(aLink_Destroy(&id), aErrNone); });
  // Once the link has left the table its stop is under way; give it time to queue the frame.
  EXPECT_TRUE(waitForStatus(link, linkInvalid));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  gated.release();
  stopper.join();
  std::lock_guard<std::mutex> lock(gated.mutex);
  ASSERT_GE(gated.written.size(), 6u);
  EXPECT_EQ(Bytes(gated.written.begin(), gated.written.begin() + 3), kStartFrame);
  EXPECT_EQ(Bytes(gated.written.end() - 3, gated.written.end()), kStopFrame);
}

TEST(LinkTable, LiteralPollingKeepsTheSameBehaviour) {
  aLink_SetLiteralPolling(true);
  LoopbackPeer peer;
  uint32_t id = aLink_CreateTCPIP(LoopbackPeer::address(), peer.port());
  aLink_SetLiteralPolling(false);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(peer.accept());
  ASSERT_TRUE(peer.awaitReceived(kStartFrame));
  ASSERT_TRUE(peer.send({0x04, 0x02, 0x00, 0x01, 0x06, 0x00}));
  EXPECT_TRUE(peer.awaitReceived({0x04, 0x02, 0x00, 0x03}));
  PacketPtr packet(aLink_AwaitFirst(id, anyPacket, nullptr, 5000));
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->address, 0x06);
  EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

// A pseudo-terminal pair in raw mode; the slave stands in for a serial port or a kernel node.
class Terminal : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(openPtyMaster(&master, true));
    slave = ptsname(master);
  }
  void TearDown() override {
    if (!nodeDirectory.empty()) {
      hyusb_set_node_prefix(nullptr);
      unlink(node.c_str());
      rmdir(nodeDirectory.c_str());
    }
    if (master >= 0) close(master);
  }

  // Makes the slave the kernel node of module 0BADCAFE.
  void makeKernelNode() {
    char pattern[] = "/tmp/link-node-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    nodeDirectory = pattern;
    node = nodeDirectory + "/halyard.0BADCAFE";
    ASSERT_EQ(symlink(slave.c_str(), node.c_str()), 0);
    hyusb_set_node_prefix((nodeDirectory + "/halyard.").c_str());
  }

  bool awaitFromMaster(const Bytes& pattern) {
    Bytes received;
    return waitUntil([&] {
      uint8_t buffer[64];
      ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) received.insert(received.end(), buffer, buffer + got);
      return LoopbackPeer::contains(received, pattern);
    });
  }

  void makeNonBlocking() { fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK); }

  int master = -1;
  std::string slave;
  std::string nodeDirectory;
  std::string node;
};

TEST_F(Terminal, SerialLinkRunsOverAPort) {
  makeNonBlocking();
  uint32_t id = aLink_CreateSerial(0x00C0FFEE, slave.c_str(), 115200);
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(awaitFromMaster(kStartFrame));
  const uint8_t heartbeat[4] = {0x04, 0x02, 0x00, 0x01};
  ASSERT_EQ(write(master, heartbeat, sizeof heartbeat), 4);
  EXPECT_TRUE(awaitFromMaster({0x04, 0x02, 0x00, 0x03}));
  // Same module by serial number: the same link.
  uint32_t again = aLink_CreateSerial(0x00C0FFEE, slave.c_str(), 115200);
  EXPECT_EQ(again, id);
  EXPECT_EQ(aErrNone, aLink_Destroy(&again));
  EXPECT_EQ(aErrNone, aLink_Destroy(&id));
  EXPECT_TRUE(awaitFromMaster(kStopFrame));
}

TEST_F(Terminal, USBLinkRunsThroughTheKernelNode) {
  makeNonBlocking();
  ASSERT_NO_FATAL_FAILURE(makeKernelNode());
  uint32_t id = aLink_CreateUSB(0x0BADCAFE);
  EXPECT_NE(id, 0u);
  if (id != 0) {
    EXPECT_TRUE(awaitFromMaster(kStartFrame));
    // The start frame may leave before the reader runs; a link not yet running answers no wait.
    ASSERT_TRUE(waitForStatus(id, linkRunning));
    const uint8_t reply[3] = {0x0C, 0x01, 0x5A};
    ASSERT_EQ(write(master, reply, sizeof reply), 3);
    uint8_t address = 0x0C;
    PacketPtr packet(aLink_AwaitFirst(id, fromAddress, &address, 5000));
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->data[0], 0x5A);
    (void)aLink_Destroy(&id);  // the close of the fake node may report; the stop frame is what counts
    EXPECT_TRUE(awaitFromMaster(kStopFrame));
  }
}

TEST_F(Terminal, LinksAreSharedOnlyForTheSameTransportAndAddress) {
  // This terminal is the USB module's kernel node; two more stand in for serial ports on which
  // answers modules of the same serial number.
  int firstPort = -1, secondPort = -1;
  ASSERT_NO_FATAL_FAILURE(openPtyMaster(&firstPort, true));
  ASSERT_NO_FATAL_FAILURE(openPtyMaster(&secondPort, true));
  std::string firstName = ptsname(firstPort), secondName = ptsname(secondPort);
  ASSERT_NO_FATAL_FAILURE(makeKernelNode());

  uint32_t usb = aLink_CreateUSB(0x0BADCAFE);
  uint32_t serial = aLink_CreateSerial(0x0BADCAFE, firstName.c_str(), 115200);
  uint32_t otherPort = aLink_CreateSerial(0x0BADCAFE, secondName.c_str(), 115200);
  uint32_t samePort = aLink_CreateSerial(0x0BADCAFE, firstName.c_str(), 115200);
  EXPECT_NE(usb, 0u);
  EXPECT_NE(serial, 0u);
  EXPECT_NE(otherPort, 0u);
  EXPECT_NE(serial, usb);         // same serial number, another transport
  EXPECT_NE(otherPort, serial);   // same transport and serial number, another port
  EXPECT_EQ(samePort, serial);
  for (uint32_t* id : {&samePort, &otherPort, &serial, &usb}) {
    if (*id != 0) {
      EXPECT_EQ(aErrNone, aLink_Destroy(id));
    }
  }
  close(firstPort);
  close(secondPort);
}

}  // namespace
