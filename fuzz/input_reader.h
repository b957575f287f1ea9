#pragma once
// Helpers shared by the fuzz targets of wire replies: taking an input apart piece by piece, and
// a check that says which promise broke before it aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzz {

// Hands out the bytes of one fuzz input in order; once they are used up every take gives 0 or an
// empty block, so a target never needs to test the length first.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data(data), size(size) {}

  bool empty() const { return at >= size; }
  size_t left() const { return at < size ? size - at : 0; }

  uint8_t byte() { return at < size ? data[at++] : 0; }

  // The next count bytes (fewer at the end of the input), as a vector of exactly that size so
  // that AddressSanitizer sees a read past its end.
  std::vector<uint8_t> block(size_t count) {
    if (count > left()) count = left();
    std::vector<uint8_t> bytes(data + at, data + at + count);
    at += count;
    return bytes;
  }

  // A block preceded by its length byte.
  std::vector<uint8_t> counted() { return block(byte()); }

 private:
  const uint8_t* data;
  size_t size;
  size_t at = 0;
};

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #condition);      \
      abort();                                                                             \
    }                                                                                      \
  } while (0)

inline uint32_t LittleEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace fuzz
