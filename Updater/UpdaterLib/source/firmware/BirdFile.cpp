#include "firmware/BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "Log.h"
#include "aFile.h"
#include "aHex.h"
#include "aUEI.h"

namespace {

constexpr size_t kHeaderSize = 6;
constexpr unsigned kFlagShift = 5;
constexpr size_t kBlockHeaderSize = 5;
// zlib works through the stream this many output bytes at a time.
constexpr size_t kInflateChunk = 64 * 1024;
constexpr size_t kDumpBytesPerLine = 50;

uint32_t GetInt(const unsigned char* bytes) { return aUEI_RetrieveInt(bytes); }
uint16_t GetShort(const unsigned char* bytes) { return aUEI_RetrieveShort(bytes); }

uint32_t GetLittleEndianInt(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void StoreLittleEndianInt(unsigned char* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool HasAddress(uint8_t type) { return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE; }

// True when [offset, offset + size) lies inside the image of block; index receives the image byte index.
bool FieldInImage(const BirdBlock& block, uint32_t offset, uint32_t size, size_t* index) {
  uint64_t start = block.address;
  uint64_t end = start + block.imageLength();
  if (offset < start || static_cast<uint64_t>(offset) + size > end) return false;
  *index = static_cast<size_t>(offset - start);
  return true;
}

}  // namespace

BirdFile::BirdFile(const char* name, Links links) : filename(name != nullptr ? name : "") {
  assert(this->filename.length() > 0);
  std::string reason;
  if (!Load(&reason, links)) throw BirdFileLoadError(reason);
}

BirdFile::BirdFile(BirdFile&& other) noexcept
    : filename(std::move(other.filename)),
      signature(other.signature),
      version(other.version),
      checksum(other.checksum),
      blockCount(other.blockCount),
      serialReplaceable(other.serialReplaceable),
      serialNumberOffset(other.serialNumberOffset),
      descriptorOffset(other.descriptorOffset),
      blockListProblem(std::move(other.blockListProblem)),
      bytesAfterStream(other.bytesAfterStream),
      listSizeMismatch(other.listSizeMismatch),
      blocks(std::move(other.blocks)),
      data(std::move(other.data)),
      dataSize(other.dataSize) {
  other.ResetToEmpty();
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this != &other) {
    filename = std::move(other.filename);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    blockCount = other.blockCount;
    serialReplaceable = other.serialReplaceable;
    serialNumberOffset = other.serialNumberOffset;
    descriptorOffset = other.descriptorOffset;
    blockListProblem = std::move(other.blockListProblem);
    bytesAfterStream = other.bytesAfterStream;
    listSizeMismatch = other.listSizeMismatch;
    blocks = std::move(other.blocks);  // the buffer moves with its blocks, so their pointers stay valid
    data = std::move(other.data);
    dataSize = other.dataSize;
    other.ResetToEmpty();
  }
  return *this;
}

void BirdFile::ResetToEmpty() {
  filename.clear();
  signature = 0;
  version = 0;
  checksum = 0;
  blockCount = 0;
  serialReplaceable = false;
  serialNumberOffset = 0;
  descriptorOffset = 0;
  blockListProblem.clear();
  bytesAfterStream = 0;
  listSizeMismatch = false;
  blocks.clear();
  data.clear();
  dataSize = 0;
}

namespace {

aFileRef openBirdFile(const char* name, BirdFile::Links links) {
  return links == BirdFile::Links::Refuse ? aFile_OpenRegularNoLinks(name) : aFile_OpenRegular(name);
}

}  // namespace

bool BirdFile::VerifyFile(const char* name, Links links) {
  if (name == nullptr) return false;
  aFileRef file = openBirdFile(name, links);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", name);
    return false;
  }
  unsigned char header[kHeaderSize] = {};
  size_t read = 0;
  aErr error = aFile_Read(file, header, sizeof header, &read);
  (void)aFile_Close(&file);  // read only: nothing is lost on close
  return error == aErrNone && read == sizeof header && GetInt(header) == BIRD_FILE_SIGNATURE &&
         header[4] != 0 && header[5] != 0;
}

bool BirdFile::ReadWholeFile(std::vector<unsigned char>& contents, std::string* reason, Links links) const {
  const char* name = filename.c_str();
  aFileRef file = openBirdFile(name, links);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", name);
    *reason = "cannot open the file";
    return false;
  }
  size_t size = 0;
  aErr error = aFile_GetSize(file, &size);
  if (error != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", error, name);
    *reason = "cannot get the file size (error " + std::to_string(static_cast<int>(error)) + ")";
    (void)aFile_Close(&file);  // read only: nothing is lost on close
    return false;
  }
  if (size > MAX_FILE_SIZE) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file %s is too large (%zu bytes)\n", name, size);
    *reason = "file too large (" + std::to_string(size) + " bytes)";
    (void)aFile_Close(&file);  // read only: nothing is lost on close
    return false;
  }
  contents.assign(size, 0);
  size_t read = 0;
  error = size > 0 ? aFile_Read(file, contents.data(), size, &read) : aErrNone;
  (void)aFile_Close(&file);  // read only: nothing is lost on close
  if (error != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", error, name);
    *reason = "read error (" + std::to_string(static_cast<int>(error)) + ")";
    return false;
  }
  if (read != size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", name, read, size);
    *reason = "read " + std::to_string(read) + " bytes of " + std::to_string(size) + " byte file";
    return false;
  }
  return true;
}

bool BirdFile::Load(std::string* reason, Links links) {
  const char* name = filename.c_str();
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", name);
  if (!aFile_Exists(name)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", name);
    *reason = "file not found";
    return false;
  }
  std::vector<unsigned char> contents;
  try {
    if (!ReadWholeFile(contents, reason, links)) return false;
  } catch (const std::bad_alloc&) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", aErrMemory, name);
    *reason = "read error (" + std::to_string(static_cast<int>(aErrMemory)) + ")";
    return false;
  }
  if (contents.size() <= kHeaderSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file %s is too short (%zu bytes)\n", name, contents.size());
    *reason = "file too short (" + std::to_string(contents.size()) + " bytes)";
    return false;
  }
  signature = GetInt(contents.data());
  version = GetShort(contents.data() + 4);
  if (!Inflate(contents.data() + kHeaderSize, contents.size() - kHeaderSize, reason)) return false;
  (void)ScanBlocks();  // a mismatch is only reported; the callers' checks decide whether the file is used
  ReadSerialOffsets();
  return true;
}

namespace {

// Runs zlib over the whole stream, into `out` (room for `capacity` bytes) or, with out null, into a
// scratch chunk that only counts the bytes. Stops with Z_BUF_ERROR once more than `limit` bytes
// came out; Z_DATA_ERROR for a damaged stream or one that ends before its end marker; Z_STREAM_END
// when the stream is complete. *produced: the bytes that came out.
int RunInflate(const unsigned char* compressed, size_t length, unsigned char* out, size_t capacity, size_t limit,
               size_t* produced, size_t* unused = nullptr) {
  std::vector<unsigned char> scratch(out == nullptr ? kInflateChunk : 0);
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(compressed);
  stream.avail_in = static_cast<uInt>(length);  // length <= MAX_FILE_SIZE fits
  int code = inflateInit(&stream);
  while (code == Z_OK) {
    if (out == nullptr) {
      stream.next_out = scratch.data();
      stream.avail_out = static_cast<uInt>(scratch.size());
    } else {
      stream.next_out = out + stream.total_out;
      stream.avail_out = static_cast<uInt>(std::min<size_t>(capacity - stream.total_out, kInflateChunk));
    }
    code = inflate(&stream, Z_NO_FLUSH);
    if (code == Z_STREAM_END) break;
    if (code == Z_NEED_DICT) code = Z_DATA_ERROR;
    if (code != Z_OK && code != Z_BUF_ERROR) break;
    if (stream.total_out > limit) {
      code = Z_BUF_ERROR;
    } else if (out != nullptr && stream.total_out == capacity) {
      // The buffer is full: only the end marker may follow (a further call with no room ends the
      // stream or reports that it needs room).
      if (code == Z_BUF_ERROR) break;
      code = Z_OK;
    } else if (stream.avail_out != 0 && (code == Z_BUF_ERROR || stream.avail_in == 0)) {
      code = Z_DATA_ERROR;  // the input ends before the stream's end marker
    } else {
      code = Z_OK;
    }
  }
  if (code == Z_STREAM_END && stream.total_out > limit) code = Z_BUF_ERROR;
  *produced = stream.total_out;
  if (unused != nullptr) *unused = stream.avail_in;
  inflateEnd(&stream);
  return code;
}

}  // namespace

// Inflates in two passes: the first only counts the block list's bytes (up to MAX_INFLATED_SIZE),
// the second inflates into a buffer of exactly that size. So the memory taken is the block list
// itself, never a guessed or doubled buffer. Errors take zlib's codes: Z_BUF_ERROR when the block
// list is larger than the bound, Z_DATA_ERROR for a damaged or truncated stream, Z_MEM_ERROR when
// memory runs out.
bool BirdFile::Inflate(const unsigned char* compressed, size_t length, std::string* reason) {
  size_t produced = 0;
  int code = Z_MEM_ERROR;
  try {
    code = RunInflate(compressed, length, nullptr, 0, MAX_INFLATED_SIZE, &produced, &bytesAfterStream);
    if (code == Z_STREAM_END) {
      std::vector<unsigned char>(produced).swap(data);
      size_t filled = 0;
      code = RunInflate(compressed, length, data.data(), produced, MAX_INFLATED_SIZE, &filled);
      // A stream that gave `produced` bytes once gives them again.
      if (code == Z_STREAM_END && filled != produced) code = Z_DATA_ERROR;
    }
  } catch (const std::bad_alloc&) {
    code = Z_MEM_ERROR;
  }
  if (code != Z_STREAM_END) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", code);
    *reason = "zlib error " + std::to_string(code) + " decompressing the block list";
    std::vector<unsigned char>().swap(data);
    dataSize = 0;
    return false;
  }
  dataSize = produced;
  return true;
}

bool BirdFile::ScanBlocks() {
  blockCount = 0;
  blocks.clear();
  blockListProblem.clear();
  listSizeMismatch = false;
  unsigned char* list = data.data();
  const size_t size = dataSize;
  const uint32_t reported = size >= 4 ? GetInt(list) : 0;
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(reported));
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  size_t position = std::min<size_t>(4, size);
  bool sizeMismatch = false;
  while (size - position > 4) {
    unsigned char* header = list + position;
    BirdBlock block;
    block.type = header[0] & BIRD_FILE_TYPE_MASK;
    block.flags = static_cast<uint8_t>((header[0] & BIRD_FILE_FLAG_MASK) >> kFlagShift);
    block.length = GetInt(header + 1);
    block.data = header + kBlockHeaderSize;
    const bool fits = block.length <= size - position - kBlockHeaderSize;
    if (fits && HasAddress(block.type) && block.length >= 4) block.address = GetInt(block.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             static_cast<int>(block.length));
    if (!fits) {
      sizeMismatch = true;
      break;
    }
    if (block.type == BLOCK_INFO) {
      for (size_t field = 0; field < 4; ++field) {
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", InfoField(block, field).c_str());
      }
    }
    blocks.push_back(block);
    ++blockCount;
    position += kBlockHeaderSize + block.length;
  }
  if (!sizeMismatch && size - position < 4) sizeMismatch = true;
  if (!sizeMismatch) {
    checksum = GetInt(list + position);
    position += 4;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  }
  bool consistent = true;
  if (sizeMismatch || position != size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(size - position));
    blockListProblem = "Block parsing mismatch in data size.";
    listSizeMismatch = true;
    consistent = false;
  }
  if (blockCount != reported) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             static_cast<int>(blockCount), static_cast<int>(reported));
    if (!blockListProblem.empty()) blockListProblem += " ";
    blockListProblem += "Block parsing mismatch in number of blocks. (" + std::to_string(blockCount) + " != " +
                        std::to_string(reported) + ")";
    consistent = false;
  }
  return consistent;
}

namespace {

std::string BlockText(size_t index, uint8_t typeFlags, uint32_t length) {
  return "block " + std::to_string(index) + " (type " + std::to_string(typeFlags & BirdFile::BIRD_FILE_TYPE_MASK) +
         ", " + std::to_string(length) + " bytes)";
}

}  // namespace

// The scan above takes blocks while more than 4 bytes remain, as the format's readers do. When
// that does not end exactly at the checksum, the list is walked again by the count it reports,
// which tells a block running past the end from bytes after the checksum.
std::string BirdFile::BlockListFault() const {
  const unsigned char* list = data.data();
  const size_t size = dataSize;
  if (size < 4) return "the block list is " + std::to_string(size) + " bytes long, too short for its block count";
  const uint32_t reported = GetInt(list);
  if (blockListProblem.empty()) return std::string();
  if (!listSizeMismatch) {
    return "the block list reports " + std::to_string(reported) + " blocks but holds " + std::to_string(blockCount);
  }
  size_t position = 4;
  for (uint32_t index = 1; index <= reported; ++index) {
    const size_t left = size - position;
    if (left < kBlockHeaderSize) {
      if (left == 4) {
        return "the block list reports " + std::to_string(reported) + " blocks but holds " +
               std::to_string(index - 1);
      }
      return "block " + std::to_string(index) + " of " + std::to_string(reported) +
             " is cut off: the block list ends " + std::to_string(left) + " bytes after the previous block";
    }
    const uint32_t length = GetInt(list + position + 1);
    if (length > left - kBlockHeaderSize) {
      return BlockText(index, list[position], length) + " runs past the end of the block list (" +
             std::to_string(left - kBlockHeaderSize) + " bytes left)";
    }
    position += kBlockHeaderSize + length;
  }
  const size_t left = size - position;
  if (left < 4) return "the block list ends without its checksum (" + std::to_string(left) + " bytes left)";
  return std::to_string(left - 4) + " bytes after the block list's checksum";
}

std::vector<std::string> BirdFile::Faults() const {
  std::vector<std::string> faults;
  char text[96];
  if (signature != BIRD_FILE_SIGNATURE) {
    snprintf(text, sizeof text, "the signature is 0x%08X, not \"bird\"", signature);
    faults.push_back(text);
  }
  if ((version >> 8) == 0 || (version & 0xFF) == 0) {
    snprintf(text, sizeof text, "the format version 0x%04X has a zero byte", version);
    faults.push_back(text);
  }
  if (bytesAfterStream != 0) {
    faults.push_back(std::to_string(bytesAfterStream) + " bytes after the end of the compressed block list");
  }
  std::string listFault = BlockListFault();
  if (!listFault.empty()) faults.push_back(std::move(listFault));
  return faults;
}

void BirdFile::ReadSerialOffsets() {
  if (blockCount == 0) return;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_SERIAL_OFFSETS) continue;
    serialReplaceable = true;
    // A block too short for a field leaves that field absent (0).
    serialNumberOffset = block.length >= 4 ? GetInt(block.data) : 0;
    descriptorOffset = block.length >= 8 ? GetInt(block.data + 4) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             static_cast<int>(serialNumberOffset), static_cast<int>(descriptorOffset));
    return;
  }
}

bool BirdFile::HasUsableImage(BLOCK_TYPE type) const {
  bool any = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != type) continue;
    if (block.imageLength() == 0) return false;
    any = true;
  }
  return any;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks) {
    if (block.type == type) found.push_back(block);
  }
  return found;
}

const BirdBlock* BirdFile::InfoBlock() const {
  for (const BirdBlock& block : blocks) {
    if (block.type == BLOCK_INFO) return &block;
  }
  return nullptr;
}

// Field 0..3 of the information block, always 16 characters: the bytes of a block shorter than
// 64 bytes are read as far as they go and the rest counts as space padding.
std::string BirdFile::InfoField(const BirdBlock& info, size_t index) {
  std::string field(INFO_FIELD_SIZE, ' ');
  const size_t start = index * INFO_FIELD_SIZE;
  if (info.length > start) {
    size_t count = std::min<size_t>(INFO_FIELD_SIZE, info.length - start);
    field.replace(0, count, reinterpret_cast<const char*>(info.data + start), count);
  }
  return field;
}

std::string BirdFile::InfoField(size_t index) const {
  const BirdBlock* info = InfoBlock();
  return info != nullptr ? InfoField(*info, index) : std::string(INFO_FIELD_SIZE, ' ');
}

std::string BirdFile::GetModel() const {
  if (InfoBlock() == nullptr) return std::string();
  std::string field = InfoField(3);
  field.resize(strnlen(field.c_str(), field.size()));
  while (!field.empty() && field.back() == ' ') field.pop_back();
  return field;
}

bool BirdFile::ValidateModel(const char* model) const {
  if (model == nullptr || InfoBlock() == nullptr) return false;
  std::string field = GetModel();
  const size_t length = strlen(model);
  if (length > field.size() || field.compare(0, length, model) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
  return true;
}

uint32_t BirdFile::GetSerialNumber() const {
  if (InfoBlock() == nullptr) return 0;
  std::string digits = InfoField(2).substr(0, 8);
  return static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char text[9];
  snprintf(text, sizeof text, "%08X", serial);
  bool replaced = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    unsigned char* image = block.image();
    size_t index = 0;
    // Success means the serial number really went into the image: a generic file whose offsets
    // lie in no firmware image would otherwise install with a stale serial number.
    if (serialNumberOffset != 0 && FieldInImage(block, serialNumberOffset, 4, &index)) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
               GetLittleEndianInt(image + index), serial);
      StoreLittleEndianInt(image + index, serial);
      replaced = true;
    }
    if (descriptorOffset != 0 && FieldInImage(block, descriptorOffset, 16, &index)) {
      for (size_t i = 0; i < 8; ++i) image[index + 2 * i] = static_cast<unsigned char>(text[i]);
      replaced = true;
    }
  }
  return replaced;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t fingerprint[4]) {
  if (fingerprint == nullptr) return true;
  unsigned char key[16];
  for (size_t word = 0; word < 4; ++word) aUEI_StoreInt(key + 4 * word, fingerprint[word]);
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    unsigned char* image = block.image();
    unsigned char previous = 0;
    for (uint32_t i = 0; i < block.imageLength(); ++i) {
      unsigned char plain = image[i] ^ key[i % 16] ^ previous;
      image[i] = plain;
      previous = plain;
    }
  }
  return true;
}

uint32_t BirdFile::GetBuild() const {
  if (InfoBlock() == nullptr) return 0;
  std::string digits = InfoField(0).substr(0, 15);
  return static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
  if (InfoBlock() == nullptr) return std::string();
  std::string text = InfoField(1).substr(0, 15);
  return text.substr(0, std::min(text.find(' '), strnlen(text.c_str(), text.size())));
}

bool BirdFile::ValidateData(const unsigned char* pattern, size_t length) const {
  if (pattern == nullptr || length == 0) return false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    const unsigned char* begin = block.image();
    const unsigned char* end = begin + block.imageLength();
    if (std::search(begin, end, pattern, pattern + length) != end) return true;
  }
  return false;
}

// Vector word 7 of an image at address 0 makes the sum of words 0..7 (without word 5) zero.
bool BirdFile::ReplaceVectorChecksum() {
  constexpr uint32_t kVectorBytes = 32;
  bool replaced = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || block.address != 0 || block.imageLength() < kVectorBytes) continue;
    unsigned char* image = block.image();
    uint32_t sum = 0;
    for (int word : {0, 1, 2, 3, 4, 6}) sum += GetLittleEndianInt(image + 4 * word);
    StoreLittleEndianInt(image + 4 * 7, 0u - sum);
    replaced = true;
  }
  return replaced;
}

void BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  size_t number = 0;
  for (const BirdBlock& block : blocks) {
    if (block.type != type) continue;
    printf("Block %zu: type %u flags %u length %u address 0x%08X\n", number++, block.type, block.flags,
           block.length, block.address);
    for (uint32_t line = 0; line < block.length; line += kDumpBytesPerLine) {
      uint32_t count = std::min<uint32_t>(kDumpBytesPerLine, block.length - line);
      printf("%08X  %s", line, aHex_Bytes(block.data + line, count).c_str());
      for (uint32_t i = count; i < kDumpBytesPerLine; ++i) printf("   ");
      printf("  ");
      for (uint32_t i = 0; i < count; ++i) {
        unsigned char c = block.data[line + i];
        putchar(isprint(c) ? c : '.');
      }
      putchar('\n');
    }
  }
}
