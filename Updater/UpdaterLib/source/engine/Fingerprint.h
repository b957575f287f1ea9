#pragma once
#include <cstdint>

// Four words identifying a chip during recovery.
struct Fingerprint {
  uint32_t words[4];
};
