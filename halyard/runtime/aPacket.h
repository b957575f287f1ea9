#pragma once
#include <cstdint>

#include "aError.h"

// One protocol packet: a module address, a length and at most 28 data bytes. On every byte
// stream a packet travels as address, dataSize, data[0 .. dataSize-1] with no start marker or
// checksum; a valid address is non-zero and even.
constexpr uint16_t kPacketCheck = 0xBEEF;
constexpr uint8_t kPacketMaxData = 28;
constexpr uint8_t kPacketMaxWire = kPacketMaxData + 2;

struct aPacket {
  uint16_t check;     // kPacketCheck while the record is a valid packet
  uint8_t count;      // wire bytes accepted so far by the parser, address and length included
  uint8_t address;    // 0 until received
  uint8_t dataSize;   // 0..28
  uint8_t data[kPacketMaxData];
};
typedef aPacket* aPacketRef;

inline bool aVALIDPACKET(const aPacket* packet) { return packet != nullptr && packet->check == kPacketCheck; }

// A packet filter: true (1) accepts. Filters run under a queue's lock: they must not block nor
// touch the queue they are called from.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, const void* ref);

// Null when memory runs out.
aPacket* aPacket_Create();
// A complete packet; null when memory runs out or length is above 28 (or data is null while
// length is not 0).
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A complete copy; null for an invalid packet.
aPacket* aPacket_Copy(const aPacket* packet);
[[nodiscard]] aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
[[nodiscard]] aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
[[nodiscard]] aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
[[nodiscard]] aErr aPacket_Reset(aPacket* packet);
// Feeds one wire byte to the parser. The caller checks aPacket_IsComplete after every accepted
// byte and resets the packet after a complete one and after any error.
[[nodiscard]] aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
[[nodiscard]] aErr aPacket_Destroy(aPacket** packet);
