#pragma once
#include <string>

// Text read from a file, shown with every control character replaced by '?', so that no file
// can drive the user's terminal.
inline std::string PrintableText(const std::string& text) {
  std::string shown(text);
  for (char& c : shown) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}
