#pragma once
#include <cstdint>
#include <string>

#include "aError.h"
#include "aLinkSpec.h"

// One module found by discovery, as shown by -D.
struct DeviceInfo {
  linkSpec spec{};
  uint32_t buildNumber = 0;
  uint8_t versionMajor = 0;
  uint8_t versionMinor = 0;
  uint32_t versionPatch = 0;
  std::string modelName;
  aErr error = aErrNone;
};
