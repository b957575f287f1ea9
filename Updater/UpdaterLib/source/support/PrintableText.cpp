#include "support/PrintableText.h"

#include <cstdint>

namespace {

constexpr char kReplacement = '?';

// Length of the valid UTF-8 sequence at the start of text (2 to 4), or 0 when there is none.
size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const auto continuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
  uint8_t lead = byte(0);
  size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
  if (length == 0) return 0;
  for (size_t i = 1; i < length; ++i) {
    if (!continuation(i)) return 0;
  }
  // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not text.
  if (lead == 0xE0 && byte(1) < 0xA0) return 0;
  if (lead == 0xED && byte(1) >= 0xA0) return 0;
  if (lead == 0xF0 && byte(1) < 0x90) return 0;
  if (lead == 0xF4 && byte(1) >= 0x90) return 0;
  // U+0080..U+009F (C1 controls, among them CSI) are encoded C2 80..C2 9F.
  if (lead == 0xC2 && byte(1) < 0xA0) return 0;
  return length;
}

}  // namespace

std::string PrintableText(std::string_view text) {
  std::string printable;
  printable.reserve(text.size());
  while (!text.empty()) {
    uint8_t c = static_cast<uint8_t>(text[0]);
    if (c >= 0x20 && c < 0x7F) {
      printable += text[0];
      text.remove_prefix(1);
      continue;
    }
    size_t length = c >= 0x80 ? utf8SequenceLength(text) : 0;
    if (length == 0) {
      printable += kReplacement;
      text.remove_prefix(1);
      continue;
    }
    printable.append(text.substr(0, length));
    text.remove_prefix(length);
  }
  return printable;
}
