#pragma once
#include <cstddef>
#include <cstdint>

// Packed version words: major in bits 31..28, minor in 27..24, patch in 23..0.
constexpr int kHalyardVersionMajor = 2;
constexpr int kHalyardVersionMinor = 9;
constexpr int kHalyardVersionPatch = 29;

uint32_t aVersion_ParseMajor(uint32_t packed);
uint32_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);
uint32_t aVersion_Pack(uint32_t major, uint32_t minor, uint32_t patch);
// "%d.%d.%d", cut to the buffer; returns buffer.
char* aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

// The library's own version.
uint32_t aVersion_GetMajor();
uint32_t aVersion_GetMinor();
uint32_t aVersion_GetPatch();
const char* aVersion_GetString();
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
