// Fuzz target: the link engine's reader fed a byte stream from a module (packet assembly,
// rejected bytes, re-synchronisation, heartbeat replies, the user filter), on a driven link over
// a stream that reads from the input: no socket and no threads. After every piece of the stream
// the packets queued inbound, the bytes written back and the link status are compared with a
// model of the reader written from the protocol, and every queued packet must be well-formed.
//
// Input: an option byte, then the bytes the module sends. Options: bits 0-4, the stream arrives
// in pieces of 1 to 32 bytes (a piece never completes more than 20 packets, the inbound queue's
// capacity); bit 5, a user filter is installed that consumes packets whose first data byte is
// 0xFF (it answers 2, which consumes nothing, for 0xFE); bit 6, the stream notes a broken
// connection before every second piece; bit 7, every piece ends with a failed read.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "aLink.h"
#include "aLinkInternal.h"
#include "aPacket.h"
#include "aStream.h"
#include "fake_clock.h"
#include "input_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSyncPattern = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};

// The module's side of the stream: the input, handed out up to the end of the current piece.
struct ModuleStream {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  size_t pieceEnd = 0;
  bool failAtPieceEnd = false;
  std::vector<Bytes> writes;
};

aErr streamGet(uint8_t* out, void* ref) {
  ModuleStream& stream = *static_cast<ModuleStream*>(ref);
  if (stream.at < stream.pieceEnd) {
    *out = stream.data[stream.at++];
    return aErrNone;
  }
  if (stream.failAtPieceEnd) {
    stream.failAtPieceEnd = false;
    return aErrIO;
  }
  return aErrNotReady;
}

aErr streamWrite(const uint8_t* data, size_t length, void* ref) {
  static_cast<ModuleStream*>(ref)->writes.emplace_back(data, data + length);
  return aErrNone;
}

aErr streamDelete(void*) { return aErrNone; }

uint8_t filterAnswer(const aPacket& packet) {
  if (packet.dataSize == 0) return 0;
  if (packet.data[0] == 0xFF) return 1;
  return packet.data[0] == 0xFE ? 2 : 0;
}

uint8_t userFilter(const aPacket* packet, void*) { return filterAnswer(*packet); }

std::vector<bool> gObserved;

void heartbeatObserver(bool state) { gObserved.push_back(state); }

Bytes wireBytes(uint8_t address, uint8_t size, const uint8_t* data) {
  Bytes bytes{address, size};
  bytes.insert(bytes.end(), data, data + size);
  return bytes;
}

// The reader as the protocol describes it.
struct ModelReader {
  bool filtering = false;
  linkStatus status = linkRunning;
  uint8_t count = 0, address = 0, size = 0;
  uint8_t data[kPacketMaxData] = {};
  int syncState = 0;
  uint8_t syncAddress = 0;
  std::vector<Bytes> inbound;  // wire bytes of each packet queued
  std::vector<Bytes> replies{{0xAF, 1, 1}};  // packets the writer sends: link start, heartbeat replies
  size_t patterns = 0;
  std::vector<bool> observed;

  void reset() {
    count = address = size = 0;
    memset(data, 0, sizeof data);
  }
  void startSync() {
    status = linkSyncing;
    syncState = 2;
    reset();
    ++patterns;
  }
  void syncByte(uint8_t b) {
    switch (syncState) {
      case 2:
        if (b != 0 && (b & 1) == 0) {
          syncAddress = b;
          syncState = 3;
        } else {
          syncState = 1;
        }
        break;
      case 3: syncState = b == 0 ? 4 : 1; break;
      case 4: syncState = b == syncAddress ? 5 : 1; break;
      case 5:
        if (b == 0) {
          syncState = 0;
          status = linkRunning;
        } else {
          syncState = 1;
        }
        break;
      default:
        // Out of step: a new pattern, and this byte begins the new attempt.
        startSync();
        syncByte(b);
        break;
    }
  }
  bool addByte(uint8_t b) {
    if (count <= kPacketMaxWire) ++count;
    if (count > kPacketMaxWire) return false;
    if (address == 0) {
      if (b == 0 || (b & 1) != 0) return false;
      address = b;
      return true;
    }
    if (size == 0) {
      size = b;
      return b <= kPacketMaxData;
    }
    if (count > size + 2) return false;
    data[count - 3] = b;
    return true;
  }
  void handOn() {
    aPacket packet{};
    packet.address = address;
    packet.dataSize = size;
    memcpy(packet.data, data, sizeof data);
    if (filtering && filterAnswer(packet) == 1) return;
    if (size == 2 && data[0] == 0) {
      uint8_t reply[2] = {0, static_cast<uint8_t>(data[1] + 2)};
      replies.push_back(wireBytes(address, 2, reply));
      observed.push_back((reply[1] & 1) != 0);
      return;
    }
    inbound.push_back(wireBytes(address, size, data));
  }
  void feed(uint8_t b) {
    if (status == linkSyncing) {
      syncByte(b);
      return;
    }
    if (!addByte(b)) {
      startSync();
      return;
    }
    if (count == size + 2) {
      handOn();
      reset();
    }
  }
  void readFailed() {
    status = linkIOError;
    reset();
  }
};

// What the engine did during one piece, in the model's terms.
struct Observed {
  std::vector<Bytes> inbound;
  std::vector<Bytes> replies;
  size_t patterns = 0;
};

Observed collect(uint32_t link, ModuleStream& stream) {
  Observed seen;
  aLink_DriveWriter(link);
  for (const Bytes& write : stream.writes) {
    if (write == kSyncPattern) {
      ++seen.patterns;
    } else {
      seen.replies.push_back(write);
    }
  }
  stream.writes.clear();
  // The packet is non-null where it is destroyed.
  for (aPacket* packet; (packet = aLink_GetPacket(link)) != nullptr; (void)aPacket_Destroy(&packet)) {
    FUZZ_CHECK(packet->address != 0 && (packet->address & 1) == 0);
    FUZZ_CHECK(packet->dataSize <= kPacketMaxData && aPacket_IsComplete(packet));
    seen.inbound.push_back(wireBytes(packet->address, packet->dataSize, packet->data));
  }
  return seen;
}

// What was added to `all` since `compared` of it was compared; moves `compared` to the end.
std::vector<Bytes> tail(const std::vector<Bytes>& all, size_t& compared) {
  std::vector<Bytes> added(all.begin() + static_cast<long>(compared), all.end());
  compared = all.size();
  return added;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  fuzz::InputReader reader(input, size);
  const uint8_t options = reader.byte();
  const size_t piece = 1 + (options & 0x1F);
  const bool filtering = (options & 0x20) != 0;
  const bool breaking = (options & 0x40) != 0;
  const bool failing = (options & 0x80) != 0;
  const Bytes bytes = reader.block(reader.left());

  ModuleStream module;
  module.data = bytes.data();
  module.size = bytes.size();
  aStreamRef stream = aStream_Create(streamGet, nullptr, streamWrite, streamDelete, &module);
  FUZZ_CHECK(stream != nullptr);
  uint32_t link = aLink_CreateDriven(stream);
  FUZZ_CHECK(link != 0);
  if (filtering) FUZZ_CHECK(aLink_InstallUserPacketFilter(link, userFilter, nullptr) == aErrNone);
  FUZZ_CHECK(aLink_SetHeartbeatObserver(link, heartbeatObserver) == aErrNone);
  gObserved.clear();

  ModelReader model;
  model.filtering = filtering;
  size_t repliesCompared = 0, inboundCompared = 0, patternsCompared = 0;
  for (size_t pieces = 0; module.at < module.size; ++pieces) {
    const size_t start = module.at;
    module.pieceEnd = start + piece < module.size ? start + piece : module.size;
    module.failAtPieceEnd = failing;
    if (breaking && pieces % 2 == 1) {
      aStream_NoteDiscontinuity(stream);
      model.reset();
    }
    do {
      aLink_DriveReader(link);
    } while (module.at < module.pieceEnd || module.failAtPieceEnd);
    for (size_t i = start; i < module.pieceEnd; ++i) model.feed(bytes[i]);
    if (failing) model.readFailed();

    Observed seen = collect(link, module);
    FUZZ_CHECK(seen.patterns == model.patterns - patternsCompared);
    FUZZ_CHECK(seen.replies == tail(model.replies, repliesCompared));
    FUZZ_CHECK(seen.inbound == tail(model.inbound, inboundCompared));
    FUZZ_CHECK(aLink_GetStatus(link) == model.status);
    patternsCompared = model.patterns;
  }
  FUZZ_CHECK(gObserved == model.observed);
  FUZZ_CHECK(aLink_Destroy(&link) == aErrNone);
  return 0;
}
