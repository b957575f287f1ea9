#pragma once
// The universal entity interface (UEI) message: its in-memory record and its wire layout.
//
// Data bytes of one packet between the host and the module at the packet's address, numbers
// big-endian:
//   0   command (entity class)
//   1   option: bits 0..5 the option code; request: bit 6 get, bit 7 set or call;
//       reply: a get answers the code alone, a set or call the code with bits 6 and 7
//   2   specifier: bits 0..4 the entity index; request: bit 5 set; reply: bit 7 = error
//   3.. the value; a reply's value type follows from its length (3 none, 4 8-bit, 5 16-bit,
//       7 32-bit); an error reply carries the module's aErr code in byte 3
// A byte block goes out as a series of requests of header, up to 24 value bytes and a sequence
// byte (bits 0..6 count the packets from 0, bit 7 set while more follow).
#include <cstdint>

namespace Tessaron {
namespace Halyard {

typedef uint32_t ueiType;
enum : ueiType {
  ueiTypeNone = 0,
  ueiTypeByte = 1,
  ueiTypeShort = 2,
  ueiTypeInt = 4,
  ueiTypeBytes = 5,
};

struct uei {
  uint8_t module = 0;
  uint8_t command = 0;
  uint8_t option = 0;
  uint8_t specifier = 0;
  uint32_t value = 0;               // the 8-, 16- or 32-bit value; an error reply's code
  const uint8_t* data = nullptr;    // byte block (ueiTypeBytes)
  uint32_t length = 0;              // byte block length
  ueiType type = ueiTypeNone;
};

constexpr uint8_t kUEIOptionMask = 0x3F;
constexpr uint8_t kUEIOptionGet = 0x40;
constexpr uint8_t kUEIOptionSet = 0x80;
constexpr uint8_t kUEIOptionSetReply = 0xC0;
constexpr uint8_t kUEIIndexMask = 0x1F;
constexpr uint8_t kUEISpecifierRequest = 0x20;
constexpr uint8_t kUEISpecifierError = 0x80;
constexpr uint8_t kUEIHeaderLength = 3;
constexpr uint8_t kUEIBlockChunk = 24;
constexpr uint8_t kUEIBlockMore = 0x80;
constexpr uint8_t kUEIBlockSequenceMask = 0x7F;
// Sequence bytes count 128 packets before they would repeat.
constexpr uint32_t kUEIBlockMaxLength = kUEIBlockChunk * (kUEIBlockSequenceMask + 1u);

inline uint8_t getUEIBytesSequence(uint8_t sequence) { return sequence & kUEIBlockSequenceMask; }
inline bool getUEIBytesContinue(uint8_t sequence) { return (sequence & kUEIBlockMore) != 0; }

}  // namespace Halyard
}  // namespace Tessaron
