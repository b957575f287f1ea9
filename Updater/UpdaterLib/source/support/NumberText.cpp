#include "support/NumberText.h"

#include <cstdio>

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

bool hasHexPrefix(std::string_view text) {
  return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && digitValue(text[2]) < 16;
}

}  // namespace

bool ReadUnsignedNumber(std::string_view text, int base, uint64_t* value) {
  size_t start = 0;
  while (start < text.size() && isSpace(text[start])) ++start;
  text.remove_prefix(start);
  if (base == 0) base = hasHexPrefix(text) ? 16 : (!text.empty() && text[0] == '0' ? 8 : 10);
  if (base == 16 && hasHexPrefix(text)) text.remove_prefix(2);
  if (base < 2 || base > 16) return false;

  uint64_t number = 0;
  size_t digits = 0;
  for (char c : text) {
    int digit = digitValue(c);
    if (digit >= base) break;
    if (number > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return false;
    number = number * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    ++digits;
  }
  if (digits == 0) return false;
  if (value) *value = number;
  return true;
}

bool ReadServerBuildNumber(std::string_view text, uint32_t* build) {
  uint64_t value = 0;
  if (!ReadUnsignedNumber(text, 10, &value) || value > UINT32_MAX) return false;
  *build = static_cast<uint32_t>(value);
  return true;
}

bool ParseBuildNumber(std::string_view text, uint32_t* build) {
  if (text.empty()) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > UINT32_MAX) return false;
  }
  if (number == 0) return false;
  if (build) *build = static_cast<uint32_t>(number);
  return true;
}

std::string SerialNumberText(uint32_t serial) {
  char text[9];
  snprintf(text, sizeof text, "%08X", static_cast<unsigned int>(serial));
  return text;
}
