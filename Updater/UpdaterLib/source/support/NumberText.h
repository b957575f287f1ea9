#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Reads an unsigned number at the start of text the way the update server's texts are read:
// leading white space is skipped, then digits of the base up to the first other character.
// Base 16 accepts a "0x" or "0X" prefix; base 0 picks the base from the prefix ("0x" hexadecimal,
// "0" octal, else decimal). No sign is accepted. False when no digit is found or the value does
// not fit 64 bits.
[[nodiscard]] bool ReadUnsignedNumber(std::string_view text, int base, uint64_t* value);

// A build number in the update server's or the settings' text: decimal, white space first allowed,
// reading stops at the first non-digit. False without a digit or above 32 bits.
[[nodiscard]] bool ReadServerBuildNumber(std::string_view text, uint32_t* build);

// A build number as a person types it: only decimal digits, no sign, no white space, no prefix,
// and a value from 1 to 4294967295 (0 names no build). False for anything else.
[[nodiscard]] bool ParseBuildNumber(std::string_view text, uint32_t* build);

// A serial number as it is shown and exchanged: 8 upper-case hexadecimal digits.
std::string SerialNumberText(uint32_t serial);
