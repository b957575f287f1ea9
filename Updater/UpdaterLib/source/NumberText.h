#pragma once
#include <cstdint>
#include <string_view>

// Reads an unsigned number at the start of text the way the update server's texts are read:
// leading white space is skipped, then digits of the base up to the first other character.
// Base 16 accepts a "0x" or "0X" prefix; base 0 picks the base from the prefix ("0x" hexadecimal,
// "0" octal, else decimal). No sign is accepted. False when no digit is found or the value does
// not fit 64 bits.
[[nodiscard]] bool ReadUnsignedNumber(std::string_view text, int base, uint64_t* value);
