#pragma once
// The shapes of the module's answers to UPGRADE requests, for the entity's two source files
// (UpdaterEntity.cpp, UpdaterEntity_Resume.cpp). Internal to the entity.
#include <cstdint>

namespace updater_entity {

// Reply sizes (data bytes, command byte included).
constexpr uint8_t kInitReplyLength = 6;     // 5F 00 base32
constexpr uint8_t kDataReplyLength = 3;     // 5F 01 count
constexpr uint8_t kPrepareReplyLength = 5;  // 5F 07 status size16
constexpr uint8_t kSumReplyLength = 7;      // 5F 07 status sum32
constexpr uint8_t kStatusReplyLength = 3;   // 5F 07 status
constexpr uint8_t kNoStatus = 0xFF;         // shown for a status reply too short to carry one

inline uint8_t statusOf(const uint8_t reply[], uint8_t length) {
  return length >= kStatusReplyLength ? reply[2] : kNoStatus;
}

// The module's SUM: the byte sum of what it took.
inline uint32_t byteSum(const uint8_t* data, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

}  // namespace updater_entity
