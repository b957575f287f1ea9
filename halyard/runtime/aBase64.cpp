#include "aBase64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six-bit value of a character; "=" counts as zero bits; -1 outside the alphabet.
int sixBits(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 0;
  return -1;
}

// The decoded length of a text whose length is a multiple of 4, its padding not counted.
size_t decodedLength(const unsigned char* text, size_t length) {
  size_t decoded = length / 4 * 3;
  if (length >= 1 && text[length - 1] == '=') --decoded;
  if (length >= 2 && text[length - 2] == '=') --decoded;
  return decoded;
}

// Decodes the groups of four characters into out, 3 bytes each. out may be text itself: a group
// is read whole before its bytes are written, and they never land past it.
bool decodeGroups(const unsigned char* text, size_t length, unsigned char* out) {
  size_t written = 0;
  for (size_t i = 0; i < length; i += 4) {
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k) {
      int bits = sixBits(text[i + k]);
      if (bits < 0) return false;
      group = (group << 6) | static_cast<uint32_t>(bits);
    }
    out[written++] = static_cast<unsigned char>(group >> 16);
    out[written++] = static_cast<unsigned char>(group >> 8);
    out[written++] = static_cast<unsigned char>(group);
  }
  return true;
}

}  // namespace

unsigned char* base64_decode(const unsigned char* text, size_t length, size_t* outLength) {
  if (outLength) *outLength = 0;
  if ((text == nullptr && length > 0) || length % 4 != 0) return nullptr;
  unsigned char* out = static_cast<unsigned char*>(malloc(length / 4 * 3 + 1));
  if (out == nullptr) return nullptr;
  if (!decodeGroups(text, length, out)) {
    free(out);
    return nullptr;
  }
  size_t decoded = decodedLength(text, length);
  out[decoded] = 0;
  if (outLength) *outLength = decoded;
  return out;
}

bool base64_decode_in_place(unsigned char* text, size_t length, size_t* outLength) {
  if (outLength) *outLength = 0;
  if ((text == nullptr && length > 0) || length % 4 != 0) return false;
  size_t decoded = decodedLength(text, length);  // read before the padding is overwritten
  if (!decodeGroups(text, length, text)) return false;
  if (outLength) *outLength = decoded;
  return true;
}

unsigned char* base64_encode(const unsigned char* data, size_t length, size_t* outLength) {
  if (outLength) *outLength = 0;
  if (data == nullptr && length > 0) return nullptr;
  size_t encoded = (length + 2) / 3 * 4;
  unsigned char* out = static_cast<unsigned char*>(malloc(encoded + 1));
  if (out == nullptr) return nullptr;
  size_t written = 0;
  for (size_t i = 0; i < length; i += 3) {
    size_t remaining = length - i;
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (remaining > 1) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (remaining > 2) group |= data[i + 2];
    out[written++] = kAlphabet[(group >> 18) & 63];
    out[written++] = kAlphabet[(group >> 12) & 63];
    out[written++] = remaining > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out[written++] = remaining > 2 ? kAlphabet[group & 63] : '=';
  }
  out[written] = 0;
  if (outLength) *outLength = encoded;
  return out;
}
