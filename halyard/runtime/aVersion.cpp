#include "aVersion.h"

#include <cstdio>

uint32_t aVersion_ParseMajor(uint32_t packed) { return (packed >> 28) & 0xFu; }
uint32_t aVersion_ParseMinor(uint32_t packed) { return (packed >> 24) & 0xFu; }
uint32_t aVersion_ParsePatch(uint32_t packed) { return packed & 0xFFFFFFu; }

uint32_t aVersion_Pack(uint32_t major, uint32_t minor, uint32_t patch) {
  return ((major & 0xFu) << 28) | ((minor & 0xFu) << 24) | (patch & 0xFFFFFFu);
}

char* aVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return buffer;
  snprintf(buffer, size, "%d.%d.%d", static_cast<int>(aVersion_ParseMajor(packed)),
           static_cast<int>(aVersion_ParseMinor(packed)), static_cast<int>(aVersion_ParsePatch(packed)));
  return buffer;
}

uint32_t aVersion_GetMajor() { return kHalyardVersionMajor; }
uint32_t aVersion_GetMinor() { return kHalyardVersionMinor; }
uint32_t aVersion_GetPatch() { return kHalyardVersionPatch; }

const char* aVersion_GetString() {
  static char text[32];
  snprintf(text, sizeof text, "%d.%d%s%d", kHalyardVersionMajor, kHalyardVersionMinor, ".",
           kHalyardVersionPatch);
  return text;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  if (kHalyardVersionMajor != major) return kHalyardVersionMajor > major;
  if (kHalyardVersionMinor != minor) return kHalyardVersionMinor > minor;
  return kHalyardVersionPatch >= patch;
}
