#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// One typed block of a loaded bird file. A plain value record: data points into the owning
// BirdFile's inflated buffer and stays valid as long as that BirdFile (or the one it was moved
// into) lives.
struct BirdBlock {
  uint8_t type = 0;      // 0..31
  uint8_t flags = 0;     // 0..7
  uint32_t length = 0;   // data bytes, including the 4 address bytes of loader and firmware blocks
  uint32_t address = 0;  // load address of loader and firmware blocks, else 0
  unsigned char* data = nullptr;

  // Loader and firmware blocks: the bytes after the address (none when the block is too short).
  unsigned char* image() const { return length >= 4 ? data + 4 : data; }
  uint32_t imageLength() const { return length >= 4 ? length - 4 : 0; }
};

// Thrown when a bird file does not load: what() is "Failed to load bird data", reason() the cause
// ("zlib error -3 decompressing the block list").
class BirdFileLoadError : public std::runtime_error {
 public:
  explicit BirdFileLoadError(const std::string& reason)
      : std::runtime_error("Failed to load bird data"), cause(reason) {}
  const std::string& reason() const { return cause; }
  // "Failed to load bird data: " and the cause, for the user.
  std::string describe() const { return std::string(what()) + ": " + cause; }

 private:
  std::string cause;
};

// A firmware file: "bird", a 16-bit format version and a zlib stream holding the block list.
// Move-only: the inflated buffer is owned here and every BirdBlock points into it.
class BirdFile {
 public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_INFO = 4,
    BLOCK_START_ADDRESS = 5,
  };

  static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
  static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
  static constexpr size_t INFO_BLOCK_SIZE = 64;
  static constexpr size_t INFO_FIELD_SIZE = 16;
  // Largest block list that is inflated; anything larger is refused as a decompression error.
  static constexpr size_t MAX_INFLATED_SIZE = 64u * 1024 * 1024;
  // Largest file read: a block list within the bound above cannot need much more (stored zlib
  // blocks add 5 bytes per 64 KiB).
  static constexpr size_t MAX_FILE_SIZE = MAX_INFLATED_SIZE + 1024 * 1024;

  BirdFile() = default;
  // Whether a link may stand for the file or for the folder that holds it. A file the user names
  // may be a link; a file of the store may not (the store is the user's alone).
  enum class Links { Follow, Refuse };

  // Loads the file; throws BirdFileLoadError ("Failed to load bird data") when it does not load.
  explicit BirdFile(const char* filename, Links links = Links::Follow);
  ~BirdFile() = default;
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // True when the file starts with "bird" and two non-zero version bytes. Never throws.
  [[nodiscard]] static bool VerifyFile(const char* filename, Links links = Links::Follow);

  // Every way in which the file is not what its format promises: a foreign signature, a zero
  // version byte, bytes after the compressed block list, and a block list whose count, sizes and
  // checksum do not add up. Empty for a sound file; a file with any fault is not to be used.
  std::vector<std::string> Faults() const;

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  // True when the file holds at least one block of this type (loader or firmware) and every such
  // block carries its 4 address bytes and at least one byte of image: what an update writes.
  [[nodiscard]] bool HasUsableImage(BLOCK_TYPE type) const;
  [[nodiscard]] bool ValidateModel(const char* model) const;
  [[nodiscard]] uint32_t GetSerialNumber() const;
  [[nodiscard]] bool ValidateSerialNumber(uint32_t serial) const;
  // Writes serial into every firmware image that holds the serial-number or descriptor field.
  [[nodiscard]] bool ReplaceSerialNumber(uint32_t serial);
  // Removes the per-chip encoding of a recovery image; not idempotent.
  bool DecodeFirmwareBlocks(const uint32_t fingerprint[4]);

  [[nodiscard]] uint32_t GetBuild() const;
  std::string GetVersion() const;
  // The model field of the information block without its padding; empty without the block.
  std::string GetModel() const;
  [[nodiscard]] bool ValidateData(const unsigned char* pattern, size_t length) const;
  [[nodiscard]] bool ReplaceVectorChecksum();
  void DumpBlocks(BLOCK_TYPE type) const;

  const std::vector<BirdBlock>& Blocks() const { return blocks; }
  const unsigned char* Data() const { return data.data(); }
  size_t DataSize() const { return dataSize; }

  std::string filename;
  uint32_t signature = 0;
  uint16_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  bool serialReplaceable = false;
  uint32_t serialNumberOffset = 0;
  uint32_t descriptorOffset = 0;
  // Why the block list does not add up (count or size mismatch); empty when it does.
  std::string blockListProblem;
  // Bytes of the file after the end of its zlib stream (never read).
  size_t bytesAfterStream = 0;

 private:
  bool listSizeMismatch = false;  // the scan did not end exactly at the checksum
  std::vector<BirdBlock> blocks;
  std::vector<unsigned char> data;  // the inflated block list
  size_t dataSize = 0;

  // Both record why they failed in *reason.
  [[nodiscard]] bool Load(std::string* reason, Links links);
  [[nodiscard]] bool ReadWholeFile(std::vector<unsigned char>& contents, std::string* reason, Links links) const;
  [[nodiscard]] bool Inflate(const unsigned char* compressed, size_t length, std::string* reason);
  [[nodiscard]] bool ScanBlocks();
  // What is wrong with the block list, in words; empty when its count and sizes add up.
  std::string BlockListFault() const;
  void ReadSerialOffsets();
  const BirdBlock* InfoBlock() const;
  std::string InfoField(size_t index) const;
  static std::string InfoField(const BirdBlock& info, size_t index);
  void ResetToEmpty();
};
