#include "server/ReplyBody.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

ReplyBody::~ReplyBody() { releaseAll(); }

ReplyBody::ReplyBody(ReplyBody&& other) noexcept : pieces(std::move(other.pieces)), total(other.total) {
  other.pieces.clear();
  other.total = 0;
}

ReplyBody& ReplyBody::operator=(ReplyBody&& other) noexcept {
  if (this != &other) {
    releaseAll();
    pieces = std::move(other.pieces);
    total = other.total;
    other.pieces.clear();
    other.total = 0;
  }
  return *this;
}

void ReplyBody::release(Piece& piece) {
  if (piece.bytes != nullptr) munmap(piece.bytes, PIECE_BYTES);
  piece = Piece();
}

void ReplyBody::releaseAll() {
  for (Piece& piece : pieces) release(piece);
  pieces.clear();
  total = 0;
}

bool ReplyBody::append(const char* data, size_t length) {
  size_t room = pieces.empty() ? 0 : PIECE_BYTES - pieces.back().used;
  // Every piece that the bytes need, first: on failure nothing is appended.
  size_t needed = length > room ? (length - room + PIECE_BYTES - 1) / PIECE_BYTES : 0;
  const size_t firstNew = pieces.size();
  try {
    pieces.reserve(pieces.size() + needed);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (; needed > 0; --needed) {
    // Pages are only taken from the system as the bytes are written into them.
    void* mapped = mmap(nullptr, PIECE_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
      while (pieces.size() > firstNew) {
        release(pieces.back());
        pieces.pop_back();
      }
      return false;
    }
    pieces.push_back(Piece{static_cast<char*>(mapped), 0});
  }
  size_t index = firstNew > 0 && room > 0 ? firstNew - 1 : firstNew;
  while (length > 0) {
    Piece& piece = pieces[index++];
    const size_t count = std::min(length, PIECE_BYTES - piece.used);
    memcpy(piece.bytes + piece.used, data, count);
    piece.used += count;
    data += count;
    length -= count;
    total += count;
  }
  return true;
}

void ReplyBody::moveInto(std::string& text) {
  text.reserve(text.size() + total);
  for (Piece& piece : pieces) {
    text.append(piece.bytes, piece.used);
    release(piece);
  }
  pieces.clear();
  total = 0;
}
