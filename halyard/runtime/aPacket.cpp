#include "aPacket.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kIndexMask = 0x1F;

bool isAddress(uint8_t byte) { return byte != 0 && (byte & 1) == 0; }

aErr dataByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->dataSize <= position) return aErrPacket;
  *out = packet->data[position] & mask;
  return aErrNone;
}

}  // namespace

aPacket* aPacket_Create() {
  aPacket* packet = static_cast<aPacket*>(calloc(1, sizeof(aPacket)));
  if (packet != nullptr) packet->check = kPacketCheck;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kPacketMaxData || (length > 0 && data == nullptr)) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  packet->address = address;
  packet->dataSize = length;
  if (length > 0) memcpy(packet->data, data, length);
  packet->count = static_cast<uint8_t>(length + 2);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return nullptr;
  uint8_t length = packet->dataSize <= kPacketMaxData ? packet->dataSize : kPacketMaxData;
  return aPacket_CreateWithData(packet->address, length, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) { return dataByte(packet, 0, 0xFF, cmd); }

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return dataByte(packet, 1, kOptionMask, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) { return dataByte(packet, 2, kIndexMask, index); }

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  packet->count = 0;
  packet->address = 0;
  packet->dataSize = 0;
  memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  // The count only grows until a reset, and stops one past the longest frame, so the data index
  // below never leaves the record whatever the caller feeds.
  if (packet->count <= kPacketMaxWire) ++packet->count;
  if (packet->count > kPacketMaxWire) return aErrOverrun;
  if (packet->address == 0) {
    if (!isAddress(byte)) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->dataSize == 0) {
    packet->dataSize = byte;
    return byte <= kPacketMaxData ? aErrNone : aErrPacket;
  }
  if (packet->count > packet->dataSize + 2) return aErrPacket;
  packet->data[packet->count - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->count == packet->dataSize + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || *packet == nullptr) return aErrParam;
  (*packet)->check = 0;
  free(*packet);
  *packet = nullptr;
  return aErrNone;
}
