// Fuzz target: the UEI reply filter (Tessaron::Halyard::sUEIFilter), which picks a module's reply
// to a get, set or call out of a link's inbound queue and decodes it, and the draining of queued
// replies with the same filter. The packets come from the input, framed as on the wire, into a
// real packet queue; the request they answer comes from the input too. Checks: the reply taken
// is the first that matches, the others stay queued in order, the decoded value has the type its
// length gives and re-encodes to exactly the reply's value bytes, an error reply gives the
// module's code, and a drain removes the matching replies and nothing else.
//
// Input: the module address, command, reply option (bit 6 of the third byte: a set reply, option
// with bits 6 and 7) and entity index of the request, then the bytes of the packets on the wire
// (bytes that do not frame a packet are skipped; at most 20 packets, the queue's capacity).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Link.h"
#include "UEI.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "input_reader.h"

using namespace Tessaron::Halyard;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes wireBytes(const aPacket& packet) {
  Bytes bytes{packet.address, packet.dataSize};
  bytes.insert(bytes.end(), packet.data, packet.data + packet.dataSize);
  return bytes;
}

// The packets framed by the input's bytes, as the link reader assembles them.
std::vector<aPacket> framePackets(const Bytes& stream) {
  std::vector<aPacket> packets;
  aPacket* assembly = aPacket_Create();
  FUZZ_CHECK(assembly != nullptr);
  for (uint8_t byte : stream) {
    if (packets.size() == static_cast<size_t>(kPacketFifoCapacity)) break;
    if (aPacket_AddByte(assembly, byte) != aErrNone) {
      FUZZ_CHECK(aPacket_Reset(assembly) == aErrNone);
    } else if (aPacket_IsComplete(assembly)) {
      packets.push_back(*assembly);
      FUZZ_CHECK(aPacket_Reset(assembly) == aErrNone);
    }
  }
  FUZZ_CHECK(aPacket_Destroy(&assembly) == aErrNone);
  return packets;
}

bool matches(const aPacket& packet, const uei& request) {
  return packet.address == request.module && packet.dataSize >= kUEIHeaderLength &&
         packet.data[0] == request.command && packet.data[1] == request.option &&
         (packet.data[2] & kUEIIndexMask) == request.specifier;
}

// The value bytes of a reply carrying `message`'s value and type, most significant first.
Bytes encodeValue(const uei& message) {
  Bytes bytes;
  int width = message.type == ueiTypeByte ? 1 : message.type == ueiTypeShort ? 2 : message.type == ueiTypeInt ? 4 : 0;
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(message.value >> shift));
  return bytes;
}

void checkDecoded(const aPacket& reply, const uei& request, const uei& decoded) {
  FUZZ_CHECK(decoded.module == request.module && decoded.command == request.command &&
             decoded.option == request.option);
  const uint8_t* data = reply.data;
  if (data[2] & kUEISpecifierError) {
    FUZZ_CHECK(decoded.specifier == data[2] && decoded.type == ueiTypeByte);
    FUZZ_CHECK(decoded.value == (reply.dataSize > kUEIHeaderLength ? data[3] : 0u));
    return;
  }
  FUZZ_CHECK(decoded.specifier == request.specifier);
  switch (reply.dataSize) {
    case 3: FUZZ_CHECK(decoded.type == ueiTypeNone); break;
    case 4: FUZZ_CHECK(decoded.type == ueiTypeByte); break;
    case 5: FUZZ_CHECK(decoded.type == ueiTypeShort); break;
    case 7: FUZZ_CHECK(decoded.type == ueiTypeInt); break;
    default:
      // A length that carries no value type leaves the record as the caller prepared it.
      FUZZ_CHECK(decoded.type == request.type && decoded.value == request.value);
      return;
  }
  FUZZ_CHECK(encodeValue(decoded) == Bytes(data + kUEIHeaderLength, data + reply.dataSize));
}

std::vector<Bytes> takeAll(aPacketFifoRef queue) {
  std::vector<Bytes> left;
  // The packet is non-null where it is destroyed.
  for (aPacket* packet; (packet = aPacketFifo_Get(queue)) != nullptr; (void)aPacket_Destroy(&packet)) {
    left.push_back(wireBytes(*packet));
  }
  return left;
}

void putAll(aPacketFifoRef queue, const std::vector<aPacket>& packets) {
  for (const aPacket& packet : packets) FUZZ_CHECK(aPacketFifo_Put(queue, &packet) == aErrNone);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  uei request;
  const uint8_t address = input.byte() & 0xFE;
  request.module = address != 0 ? address : 2;
  request.command = input.byte();
  const uint8_t option = input.byte();
  request.option = static_cast<uint8_t>((option & kUEIOptionMask) | ((option & 0x40) ? kUEIOptionSetReply : 0));
  request.specifier = input.byte() & kUEIIndexMask;
  // As a transaction prepares the record before it waits for the reply.
  request.type = ueiTypeNone;
  request.value = 0;
  const std::vector<aPacket> packets = framePackets(input.block(input.left()));

  std::vector<size_t> matching;
  for (size_t i = 0; i < packets.size(); ++i) {
    if (matches(packets[i], request)) matching.push_back(i);
  }

  aPacketFifoRef queue = aPacketFifo_Create();
  FUZZ_CHECK(queue != 0);
  putAll(queue, packets);
  uei decoded = request;
  aPacket* reply = aPacketFifo_GetFirst(queue, sUEIFilter, &decoded);
  FUZZ_CHECK((reply != nullptr) == !matching.empty());
  std::vector<Bytes> expectedLeft;
  for (size_t i = 0; i < packets.size(); ++i) {
    if (matching.empty() || i != matching.front()) expectedLeft.push_back(wireBytes(packets[i]));
  }
  if (reply != nullptr) {
    FUZZ_CHECK(wireBytes(*reply) == wireBytes(packets[matching.front()]));
    checkDecoded(*reply, request, decoded);
    FUZZ_CHECK(aPacket_Destroy(&reply) == aErrNone);
  }
  FUZZ_CHECK(takeAll(queue) == expectedLeft);

  // Draining with the filter removes the matching replies. (A drain that meets an error reply
  // before its last match is left out: the filter records the error in the pattern it matches by.)
  bool errorBeforeLastMatch = false;
  for (size_t k = 0; k + 1 < matching.size(); ++k) {
    errorBeforeLastMatch = errorBeforeLastMatch || (packets[matching[k]].data[2] & kUEISpecifierError) != 0;
  }
  if (!errorBeforeLastMatch) {
    putAll(queue, packets);
    uei pattern = request;
    FUZZ_CHECK(aPacketFifo_DrainPackets(queue, sUEIFilter, &pattern) == matching.size());
    std::vector<Bytes> kept;
    for (size_t i = 0; i < packets.size(); ++i) {
      if (!matches(packets[i], request)) kept.push_back(wireBytes(packets[i]));
    }
    FUZZ_CHECK(takeAll(queue) == kept);
  }
  FUZZ_CHECK(aPacketFifo_Destroy(&queue) == aErrNone);
  return 0;
}
