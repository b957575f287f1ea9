// Stream transports: the TCP socket against a peer on 127.0.0.1 (reconnecting by itself, and
// reporting a peer that is gone), readiness waiting, the USB device layer without a device (state
// answers, identification rules, the kernel node with a pseudo-terminal standing in for it) and
// file streams.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"
#include "aStream.h"
#include "hyusb.h"
#include "pty_support.h"

namespace {

using Bytes = LoopbackPeer::Bytes;
using Clock = std::chrono::steady_clock;

struct StreamDeleter {
  void operator()(aStream* stream) const { (void)aStream_Destroy(&stream); }  // deleter: null is fine
};
using StreamPtr = std::unique_ptr<aStream, StreamDeleter>;

// Reads one byte, trying again while the stream answers aErrNotReady, for at most timeoutMs.
aErr readByte(aStreamRef stream, uint8_t* byte, int timeoutMs = 5000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  aErr result;
  do {
    result = aStream_Read(stream, byte, 1);
    if (result != aErrNotReady) return result;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (Clock::now() < deadline);
  return result;
}

Bytes readBytes(aStreamRef stream, size_t count) {
  Bytes bytes;
  uint8_t byte;
  while (bytes.size() < count && readByte(stream, &byte) == aErrNone) bytes.push_back(byte);
  return bytes;
}

StreamPtr connectTo(const LoopbackPeer& peer) {
  aStreamRef stream = nullptr;
  EXPECT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &stream), aErrNone);
  return StreamPtr(stream);
}

// ---- socket ----------------------------------------------------------------------------------

TEST(SocketStream, CarriesBytesBothWays) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  StreamPtr stream = connectTo(peer);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(peer.accept());
  const uint8_t block[3] = {0x04, 0x01, 0x09};
  ASSERT_EQ(aStream_Write(stream.get(), block, sizeof block), aErrNone);
  const uint8_t single = 0x77;
  ASSERT_EQ(aStream_Write(stream.get(), &single, 1), aErrNone);
  EXPECT_TRUE(peer.awaitReceived({0x04, 0x01, 0x09, 0x77}));
  ASSERT_TRUE(peer.send({0x10, 0x20, 0x30}));
  EXPECT_EQ(readBytes(stream.get(), 3), (Bytes{0x10, 0x20, 0x30}));
}

TEST(SocketStream, NoListenerGivesResource) {
  uint16_t port;
  {
    LoopbackPeer gone;
    port = gone.port();
  }
  aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateSocket(LoopbackPeer::address(), port, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSocket(LoopbackPeer::address(), port, nullptr), aErrParam);
}

TEST(SocketStream, ReconnectsByItselfWhenThePeerClosesAndComesBack) {
  LoopbackPeer peer;
  StreamPtr stream = connectTo(peer);
  ASSERT_TRUE(stream && peer.accept());
  uint32_t breaks = aStream_Discontinuities(stream.get());
  peer.closeConnection();  // the listener stays: the module's service is still there

  // The get that finds the connection closed reconnects; the peer then accepts the new one.
  uint8_t byte;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (aStream_Discontinuities(stream.get()) == breaks && Clock::now() < deadline) {
    EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(aStream_Discontinuities(stream.get()), breaks + 1);
  ASSERT_TRUE(peer.accept());
  ASSERT_TRUE(peer.send({0x42}));
  ASSERT_EQ(readByte(stream.get(), &byte), aErrNone);
  EXPECT_EQ(byte, 0x42);
  const uint8_t block[2] = {0x06, 0x00};
  ASSERT_EQ(aStream_Write(stream.get(), block, sizeof block), aErrNone);
  EXPECT_TRUE(peer.awaitReceived({0x06, 0x00}));
}

TEST(SocketStream, PeerGoneForGoodIsReportedNotTakenForSilence) {
  LoopbackPeer peer;
  StreamPtr stream = connectTo(peer);
  ASSERT_TRUE(stream && peer.accept());
  peer.closeListener();
  peer.closeConnection();
  uint8_t byte;
  // A closed peer must not look like "no byte yet" for ever.
  aErr result = readByte(stream.get(), &byte);
  EXPECT_EQ(result, aErrConnection);
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrConnection);
  const uint8_t block[2] = {0x02, 0x00};
  EXPECT_EQ(aStream_Write(stream.get(), block, sizeof block), aErrConnection);
}

TEST(SocketStream, WriteAfterThePeerClosedResendsTheWholeBlockOnTheNewConnection) {
  LoopbackPeer peer;
  StreamPtr stream = connectTo(peer);
  ASSERT_TRUE(stream && peer.accept());
  peer.closeConnection();
  const Bytes block = {0x08, 0x04, 0x01, 0x02, 0x03, 0x04};
  bool accepted = false;
  for (int attempt = 0; attempt < 50 && !accepted; ++attempt) {
    // The first sends may still land in the closed connection; the one that finds it broken
    // reconnects and sends the block again from its start.
    (void)aStream_Write(stream.get(), block.data(), block.size());
    accepted = peer.accept(50);
  }
  ASSERT_TRUE(accepted);
  EXPECT_TRUE(peer.awaitReceived(block));
  Bytes received = peer.received();
  ASSERT_GE(received.size(), block.size());
  EXPECT_EQ(Bytes(received.begin(), received.begin() + static_cast<long>(block.size())), block);
}

// ---- readiness waiting ----------------------------------------------------------------------

struct ReadyScript {
  int gets = 0;
  int readyCalls = 0;
  unsigned lastWait = 0;
  bool byteAfterWait = true;
};

aErr scriptGet(uint8_t* out, void* ref) {
  ReadyScript* script = static_cast<ReadyScript*>(ref);
  ++script->gets;
  if (script->readyCalls > 0 && script->byteAfterWait) {
    *out = 0x5A;
    return aErrNone;
  }
  return aErrNotReady;
}

aErr scriptReady(unsigned timeoutMs, void* ref) {
  ReadyScript* script = static_cast<ReadyScript*>(ref);
  ++script->readyCalls;
  script->lastWait = timeoutMs;
  return script->byteAfterWait ? aErrNone : aErrNotReady;
}

TEST(StreamReadiness, GetWaitsOnlyWhenAskedAndWithinTheBound) {
  ReadyScript script;
  StreamPtr stream(aStream_Create(scriptGet, nullptr, nullptr, nullptr, &script));
  ASSERT_TRUE(stream);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);  // no ready callback yet
  ASSERT_EQ(aStream_SetReadyProc(stream.get(), scriptReady), aErrNone);
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);  // wait 0: answers at once
  EXPECT_EQ(script.readyCalls, 0);

  ASSERT_EQ(aStream_SetReadyWait(stream.get(), 50), aErrNone);
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNone);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(script.readyCalls, 1);
  EXPECT_EQ(script.lastWait, kStreamLongestReadyWaitMs);

  ReadyScript silent;
  silent.byteAfterWait = false;
  StreamPtr quiet(aStream_Create(scriptGet, nullptr, nullptr, nullptr, &silent));
  ASSERT_EQ(aStream_SetReadyProc(quiet.get(), scriptReady), aErrNone);
  ASSERT_EQ(aStream_SetReadyWait(quiet.get(), 3), aErrNone);
  EXPECT_EQ(aStream_Read(quiet.get(), &byte, 1), aErrNotReady);
  EXPECT_EQ(silent.readyCalls, 1);
  EXPECT_EQ(silent.lastWait, 3u);
  EXPECT_EQ(silent.gets, 1);  // a wait that ran out does not ask again
}

TEST(StreamReadiness, SocketWaitEndsWhenAByteArrives) {
  LoopbackPeer peer;
  StreamPtr stream = connectTo(peer);
  ASSERT_TRUE(stream && peer.accept());
  ASSERT_TRUE(aStream_CanAwaitReady(stream.get()));
  ASSERT_EQ(aStream_SetReadyWait(stream.get(), kStreamLongestReadyWaitMs), aErrNone);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
  ASSERT_TRUE(peer.send({0x33}));
  ASSERT_EQ(readByte(stream.get(), &byte), aErrNone);
  EXPECT_EQ(byte, 0x33);
}

// ---- USB device layer -------------------------------------------------------------------------

struct HyusbDeleter {
  void operator()(hyusb* usb) const { (void)hyusb_destroy(&usb); }  // deleter: null is fine
};
using HyusbPtr = std::unique_ptr<hyusb, HyusbDeleter>;

TEST(Hyusb, KernelNodeRecordUsesNoLibusbAndRefusesTheOtherVariants) {
  HyusbPtr usb(hyusb_create_usb(0));
  ASSERT_TRUE(usb);
  EXPECT_EQ(usb->context, nullptr);
  EXPECT_EQ(usb->state.load(), hyusbCreated);
  uint8_t byte = 0;
  EXPECT_EQ(hyusb_open_halyard_USBlib_device(usb.get(), "0000ABCD"), aErrMode);
  EXPECT_EQ(hyusb_write_to_USBlib_device(usb.get(), &byte, 1), aErrMode);
  EXPECT_EQ(hyusb_get_from_USBlib_device(usb.get(), &byte), aErrMode);
  EXPECT_EQ(hyusb_close_halyard_USBlib_device(usb.get()), aErrMode);
  // Not opened yet.
  EXPECT_EQ(hyusb_get_from_device(usb.get(), &byte), aErrMode);
  EXPECT_EQ(hyusb_write_to_device(usb.get(), &byte, 1), aErrMode);
  EXPECT_EQ(hyusb_close_halyard_device(usb.get()), aErrMode);
}

TEST(Hyusb, LibusbRecordAnswersByState) {
  HyusbPtr usb(hyusb_create_usb(1));
  if (!usb) GTEST_SKIP() << "libusb cannot be initialised here";
  EXPECT_NE(usb->context, nullptr);
  uint8_t byte = 0;
  const uint8_t data[3] = {1, 2, 3};
  struct Row {
    hyusbState state;
    aErr expected;
  };
  for (const Row& row : {Row{hyusbCreated, aErrNotReady}, Row{hyusbOpened, aErrNotReady},
                         Row{hyusbClosed, aErrConnection}, Row{hyusbTransferError, aErrIO}}) {
    usb->state = row.state;
    EXPECT_EQ(hyusb_write_to_device(usb.get(), data, sizeof data), row.expected) << row.state;
    EXPECT_EQ(hyusb_get_from_device(usb.get(), &byte), row.expected) << row.state;
  }
  // Bytes already received are served whatever the state.
  usb->buffer[0] = 0x61;
  usb->buffer[1] = 0x62;
  usb->readPosition = usb->buffer;
  usb->remaining = 2;
  EXPECT_EQ(hyusb_get_from_device(usb.get(), &byte), aErrNone);
  EXPECT_EQ(byte, 0x61);
  EXPECT_EQ(hyusb_get_from_device(usb.get(), &byte), aErrNone);
  EXPECT_EQ(byte, 0x62);
  EXPECT_EQ(hyusb_get_from_device(usb.get(), &byte), aErrIO);

  EXPECT_EQ(hyusb_close_halyard_device(usb.get()), aErrMode);  // nothing open
  EXPECT_EQ(hyusb_open_halyard_kernel_device(usb.get(), "0000ABCD"), aErrMode);
  EXPECT_EQ(hyusb_get_from_kernel_device(usb.get(), &byte), aErrMode);
  usb->state = hyusbCreated;
  // No module of the family answers to this serial number on a test machine.
  EXPECT_EQ(hyusb_open_halyard_device(usb.get(), "FEEDF00D"), aErrNotFound);
}

TEST(Hyusb, DestroyNullsTheHandle) {
  hyusb* usb = hyusb_create_usb(0);
  ASSERT_NE(usb, nullptr);
  EXPECT_EQ(hyusb_destroy(&usb), aErrNone);
  EXPECT_EQ(usb, nullptr);
  EXPECT_EQ(hyusb_destroy(&usb), aErrParam);
  EXPECT_EQ(hyusb_destroy(nullptr), aErrParam);
}

TEST(Hyusb, FamilyIsVendor24FFWithProductBit15Clear) {
  struct Row {
    uint16_t vendor, product;
    bool family;
  };
  for (const Row& row : {Row{0x24FF, 0x0000, true}, Row{0x24FF, 0x000A, true}, Row{0x24FF, 0x7FFF, true},
                         Row{0x24FF, 0x8000, false}, Row{0x24FF, 0xFFFF, false}, Row{0x24FE, 0x0001, false}}) {
    struct libusb_device_descriptor descriptor = {};
    descriptor.idVendor = row.vendor;
    descriptor.idProduct = row.product;
    EXPECT_EQ(hyusb_is_halyard_descriptor(&descriptor), row.family) << std::hex << row.vendor << ":" << row.product;
  }
  EXPECT_FALSE(hyusb_is_halyard_descriptor(nullptr));
  EXPECT_FALSE(is_halyard_device(nullptr));
}

// Hand-built configuration descriptors for the endpoint rules.
struct Setting {
  uint8_t number, cls, subclass, protocol;
  std::vector<std::pair<uint8_t, uint8_t>> endpoints;  // address, attributes
};

struct Config {
  std::vector<std::vector<libusb_endpoint_descriptor>> endpoints;
  std::vector<libusb_interface_descriptor> settings;
  std::vector<libusb_interface> interfaces;
  libusb_config_descriptor config = {};

  // One interface per entry, each with its alternate settings.
  explicit Config(const std::vector<std::vector<Setting>>& layout) {
    size_t total = 0;
    for (const auto& interface : layout) total += interface.size();
    endpoints.reserve(total);
    settings.reserve(total);
    for (const auto& interface : layout) {
      for (const Setting& setting : interface) {
        endpoints.emplace_back();
        for (auto [address, attributes] : setting.endpoints) {
          libusb_endpoint_descriptor endpoint = {};
          endpoint.bEndpointAddress = address;
          endpoint.bmAttributes = attributes;
          endpoints.back().push_back(endpoint);
        }
        libusb_interface_descriptor descriptor = {};
        descriptor.bInterfaceNumber = setting.number;
        descriptor.bInterfaceClass = setting.cls;
        descriptor.bInterfaceSubClass = setting.subclass;
        descriptor.bInterfaceProtocol = setting.protocol;
        descriptor.bNumEndpoints = static_cast<uint8_t>(endpoints.back().size());
        descriptor.endpoint = endpoints.back().data();
        settings.push_back(descriptor);
      }
    }
    size_t at = 0;
    for (const auto& interface : layout) {
      libusb_interface entry = {};
      entry.altsetting = &settings[at];
      entry.num_altsetting = static_cast<int>(interface.size());
      at += interface.size();
      interfaces.push_back(entry);
    }
    config.bNumInterfaces = static_cast<uint8_t>(interfaces.size());
    config.interface = interfaces.data();
  }
};

TEST(Hyusb, EndpointSearchFollowsTheInterfaceRules) {
  constexpr uint8_t kBulk = 0x02, kInterrupt = 0x03, kIsochronous = 0x01;
  struct Case {
    const char* name;
    std::vector<std::vector<Setting>> layout;
    bool found;
    int interfaceNumber;
    uint8_t in, out;
  };
  const Setting link = {0, 0xFF, 0x88, 0x10, {{0x81, kBulk}, {0x02, kBulk}}};
  const std::vector<Case> cases = {
      {"PlainLinkInterface", {{link}}, true, 0, 0x81, 0x02},
      {"WrongProtocol", {{{0, 0xFF, 0x88, 0x11, {{0x81, kBulk}, {0x02, kBulk}}}}}, false, 0, 0, 0},
      {"WrongClass", {{{0, 0x03, 0x88, 0x10, {{0x81, kBulk}, {0x02, kBulk}}}}}, false, 0, 0, 0},
      {"InOnly", {{{0, 0xFF, 0x88, 0x10, {{0x81, kBulk}}}}}, false, 0, 0, 0},
      {"IsochronousIgnored",
       {{{0, 0xFF, 0x88, 0x10, {{0x81, kBulk}, {0x02, kBulk}, {0x83, kIsochronous}, {0x04, kIsochronous}}}}},
       true, 0, 0x81, 0x02},
      {"LastSettingAndEndpointsWin",
       {{{0, 0x03, 0x00, 0x00, {{0x85, kInterrupt}}}, link},
        {{2, 0xFF, 0x88, 0x10, {{0x86, kInterrupt}, {0x07, kBulk}}}}},
       true, 2, 0x86, 0x07},
  };
  for (const Case& c : cases) {
    Config config(c.layout);
    int interfaceNumber = -1;
    uint8_t in = 0, out = 0;
    EXPECT_EQ(hyusb_find_endpoints_in_config(&config.config, &interfaceNumber, &in, &out), c.found) << c.name;
    if (!c.found) continue;
    EXPECT_EQ(interfaceNumber, c.interfaceNumber) << c.name;
    EXPECT_EQ(in, c.in) << c.name;
    EXPECT_EQ(out, c.out) << c.name;
  }
}

// A pseudo-terminal in raw mode whose slave stands in for a module's kernel node.
class KernelNode : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(openPtyMaster(&master, true));
    char pattern[] = "/tmp/hyusb-node-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    node = directory + "/halyard.0000ABCD";
    ASSERT_EQ(symlink(ptsname(master), node.c_str()), 0);
    hyusb_set_node_prefix((directory + "/halyard.").c_str());
  }

  void TearDown() override {
    hyusb_set_node_prefix(nullptr);
    unlink(node.c_str());
    rmdir(directory.c_str());
    if (master >= 0) close(master);
  }

  Bytes readMaster(size_t count) {
    Bytes bytes;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (bytes.size() < count && Clock::now() < deadline) {
      struct pollfd waiting = {master, POLLIN, 0};
      if (poll(&waiting, 1, 50) <= 0) continue;
      uint8_t buffer[64];
      ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }

  int master = -1;
  std::string directory;
  std::string node;
};

TEST_F(KernelNode, StreamGoesThroughTheNodeWhenItExists) {
  EXPECT_TRUE(hyusb_is_kernel_driver_installed(0x0000ABCD));
  EXPECT_FALSE(hyusb_is_kernel_driver_installed(0x0000ABCE));
  char path[256];
  ASSERT_TRUE(hyusb_node_path(0x0000ABCD, path, sizeof path));
  EXPECT_EQ(std::string(path), node);

  aStreamRef raw = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x0000ABCD, &raw), aErrNone);
  StreamPtr stream(raw);
  const uint8_t frame[3] = {0xAF, 0x01, 0x01};
  ASSERT_EQ(aStream_Write(stream.get(), frame, sizeof frame), aErrNone);
  EXPECT_EQ(readMaster(3), (Bytes{0xAF, 0x01, 0x01}));

  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
  const uint8_t reply[2] = {0x04, 0x00};
  ASSERT_EQ(write(master, reply, sizeof reply), 2);
  EXPECT_EQ(readBytes(stream.get(), 2), (Bytes{0x04, 0x00}));
}

TEST_F(KernelNode, ANodeThatHungUpEndsTheStreamWithAnIOError) {
  aStreamRef raw = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x0000ABCD, &raw), aErrNone);
  StreamPtr stream(raw);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);  // empty, still there
  // The far side goes away: reads give end of file and poll reports a hang-up, as from a node
  // whose module left the bus. That is an I/O error, not an empty node.
  close(master);
  master = -1;
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrIO);
  EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrIO);
}

TEST_F(KernelNode, OpenFailuresAndRefusals) {
  aStreamRef stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(0x0000ABCD, nullptr), aErrParam);
  // A node that exists but cannot be opened is an I/O failure; nothing is left open.
  unlink(node.c_str());
  ASSERT_EQ(symlink((directory + "/missing").c_str(), node.c_str()), 0);
  HyusbPtr usb(hyusb_create_usb(0));
  ASSERT_TRUE(usb);
  EXPECT_EQ(hyusb_open_halyard_device(usb.get(), "0000ABCD"), aErrIO);
  EXPECT_EQ(usb->fd, -1);
}

// ---- file streams ------------------------------------------------------------------------------

class FileStream : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/stream-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
  }
  void TearDown() override {
    for (const char* name : {"/a", "/b"}) unlink((directory + name).c_str());
    rmdir(directory.c_str());
  }
  std::string path(const char* name) { return directory + name; }
  std::string directory;
};

TEST_F(FileStream, RecordsRoundTripAndEndOfFile) {
  aStreamRef out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path("/a").c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_WriteRecord(out, "abc", 3, '\n'), aErrNone);
  EXPECT_EQ(aStream_WriteCString(out, "zero"), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(out, "line", ';'), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(out, "toolongrecord", ';'), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode);
  ASSERT_EQ(aStream_Destroy(&out), aErrNone);

  aStreamRef in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path("/a").c_str(), &in), aErrNone);
  StreamPtr input(in);
  char buffer[8];
  size_t length = 99;
  EXPECT_EQ(aStream_ReadRecord(in, buffer, sizeof buffer, '\n', &length), aErrNone);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(aStream_ReadCString(in, buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, "zero");
  EXPECT_EQ(aStream_ReadCStringRecord(in, buffer, sizeof buffer, ';'), aErrNone);
  EXPECT_STREQ(buffer, "line");
  EXPECT_EQ(aStream_ReadCStringRecord(in, buffer, sizeof buffer, ';'), aErrOverrun);
  EXPECT_STREQ(buffer, "toolong");  // bounded and terminated; the rest of the record skipped
  EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
}

TEST_F(FileStream, FlushCopiesUntilEndOfFile) {
  const std::string text = "copied bytes\n";
  {
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path("/a").c_str(), &out), aErrNone);
    // File streams only put: a block goes out one byte at a time.
    ASSERT_EQ(aStream_Write(out, reinterpret_cast<const uint8_t*>(text.data()), text.size()), aErrNone);
    EXPECT_EQ(aErrNone, aStream_Destroy(&out));
  }
  aStreamRef in = nullptr, out = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path("/a").c_str(), &in), aErrNone);
  ASSERT_EQ(aStream_CreateFileOutput(path("/b").c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_Flush(in, out), aErrNone);
  EXPECT_EQ(aErrNone, aStream_Destroy(&in));
  EXPECT_EQ(aErrNone, aStream_Destroy(&out));
  ASSERT_EQ(aStream_CreateFileInput(path("/b").c_str(), &in), aErrNone);
  StreamPtr copy(in);
  uint8_t bytes[13] = {};
  ASSERT_EQ(aStream_Read(in, bytes, sizeof bytes), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), sizeof bytes), text);

  aStreamRef missing = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateFileInput(path("/none").c_str(), &missing), aErrNotFound);
  EXPECT_EQ(missing, nullptr);
}

}  // namespace
