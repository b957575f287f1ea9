#pragma once
#include <cstddef>
#include <string>
#include <vector>

// A reply body as it arrives, kept in pieces of PIECE_BYTES that are each mapped from the system
// on their own. A body of n bytes thus takes about n bytes of memory while it grows (a growing
// string would copy itself into a buffer twice its size), and each piece goes back to the system
// as soon as it has been copied into the finished text, so the finished text costs no second copy.
class ReplyBody {
 public:
  static constexpr size_t PIECE_BYTES = 1024 * 1024;

  ReplyBody() = default;
  ~ReplyBody();
  ReplyBody(ReplyBody&& other) noexcept;
  ReplyBody& operator=(ReplyBody&& other) noexcept;
  ReplyBody(const ReplyBody&) = delete;
  ReplyBody& operator=(const ReplyBody&) = delete;

  // Appends length bytes; false (nothing appended) when no memory could be had.
  [[nodiscard]] bool append(const char* data, size_t length);
  size_t size() const { return total; }
  // Appends the body to text and leaves this body empty.
  void moveInto(std::string& text);

 private:
  struct Piece {
    char* bytes = nullptr;
    size_t used = 0;
  };

  void releaseAll();
  static void release(Piece& piece);

  std::vector<Piece> pieces;
  size_t total = 0;
};
