#pragma once
#include <cstdint>

// Transport of a link.
typedef uint32_t linkType;
enum : linkType {
  linkTypeAny = 0,
  linkTypeUSB = 1,
  linkTypeTCPIP = 2,
  linkTypeSerial = 3,
  linkTypeRecover = 255,
};

// USB identification of the module family.
constexpr uint16_t kHalyardVendorId = 0x24FF;
constexpr uint16_t kHalyardProductIdLimit = 0x8000;

// Name of a module model number; "Unknown" for any number not in the table.
const char* aDefs_GetModelName(int model);
