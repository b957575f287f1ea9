#pragma once
// What the bird-file fuzz target does with one input; shared with the unit test that replays the
// kept regression inputs. A broken promise aborts.
//
// Input layout: one mode byte, then the payload. An even mode byte takes the payload as the file
// itself (damaged headers and zlib streams); an odd one takes it as a block list, which is
// compressed behind a valid header here, so that mutations reach the block scan directly.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "firmware/BirdFile.h"
#include "scratch_file.h"

namespace fuzz {

inline void BirdCheck(bool condition) {
  if (!condition) abort();
}

inline void CheckBlocksInsideBuffer(const BirdFile& bird) {
  const unsigned char* begin = bird.Data();
  const unsigned char* end = begin + bird.DataSize();
  BirdCheck(bird.DataSize() <= BirdFile::MAX_INFLATED_SIZE);
  BirdCheck(bird.blockCount == bird.Blocks().size());
  for (const BirdBlock& block : bird.Blocks()) {
    BirdCheck(block.type <= BirdFile::BIRD_FILE_TYPE_MASK && block.flags <= 7);
    BirdCheck(block.data >= begin && block.data <= end);
    BirdCheck(block.length <= static_cast<size_t>(end - block.data));
  }
}

inline void ExerciseBirdFile(BirdFile& bird) {
  CheckBlocksInsideBuffer(bird);
  size_t total = 0;
  for (int type = 0; type <= BirdFile::BIRD_FILE_TYPE_MASK; ++type) {
    total += bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type)).size();
  }
  BirdCheck(total == bird.Blocks().size());
  uint32_t serial = bird.GetSerialNumber();
  BirdCheck(bird.ValidateSerialNumber(serial));
  // Run for what they touch: any answer is right for arbitrary input.
  (void)bird.ValidateModel("Osprey");
  (void)bird.ValidateModel("");
  (void)bird.GetBuild();
  BirdCheck(bird.GetVersion().size() <= 15);
  static const unsigned char pattern[] = {0xFF, 0xFF, 0x00};
  (void)bird.ValidateData(pattern, sizeof pattern);
  (void)bird.ReplaceSerialNumber(0x1A2B3C4D);
  static const uint32_t fingerprint[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  BirdCheck(bird.DecodeFirmwareBlocks(fingerprint));
  (void)bird.ReplaceVectorChecksum();
}

inline std::vector<uint8_t> BirdFileAround(const uint8_t* list, size_t size) {
  static const uint8_t header[] = {'b', 'i', 'r', 'd', 0x01, 0x01};
  uLongf compressedSize = compressBound(size);
  std::vector<uint8_t> file(sizeof header + compressedSize);
  std::copy(header, header + sizeof header, file.begin());
  BirdCheck(compress2(file.data() + sizeof header, &compressedSize, list, size, 1) == Z_OK);
  file.resize(sizeof header + compressedSize);
  return file;
}

// Runs one input through the loader, using scratchPath as the file. Returns whether it loaded.
inline bool RunBirdFileInput(const uint8_t* data, size_t size, const std::string& scratchPath) {
  if (size == 0) return false;
  if (data[0] & 1) {
    std::vector<uint8_t> file = BirdFileAround(data + 1, size - 1);
    WriteFileOrDie(scratchPath, file.data(), file.size());
  } else {
    WriteFileOrDie(scratchPath, data + 1, size - 1);
  }
  (void)BirdFile::VerifyFile(scratchPath.c_str());  // any answer is right; the load below is checked
  try {
    BirdFile bird(scratchPath.c_str());
    ExerciseBirdFile(bird);
    const unsigned char* buffer = bird.Data();
    size_t blocks = bird.Blocks().size();
    BirdFile moved(std::move(bird));
    BirdCheck(bird.Blocks().empty() && bird.DataSize() == 0 && bird.blockCount == 0);
    BirdCheck(moved.Data() == buffer && moved.Blocks().size() == blocks);
    BirdFile placeholder;
    placeholder = std::move(moved);
    BirdCheck(placeholder.Data() == buffer && placeholder.Blocks().size() == blocks);
    CheckBlocksInsideBuffer(placeholder);
    return true;
  } catch (const std::runtime_error&) {
    return false;  // a file that does not load is refused; that is a correct outcome
  }
}

}  // namespace fuzz
