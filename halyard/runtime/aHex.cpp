#include "aHex.h"

std::string aHex_Bytes(const uint8_t* bytes, size_t length) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  if (bytes == nullptr || length == 0) return text;
  text.reserve(3 * length - 1);
  for (size_t i = 0; i < length; ++i) {
    if (i > 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}
