// Fuzz target: the i.MX loader's handling of boot-ROM replies (status check, file write, register
// reads, jump) over the serial and the USB HID reply layouts. The replies come from the input;
// the loader under test is the real SDPLoader with the transports' real reply parsers
// (Serial_SDPLoader::valueFromReply, HID_SDPLoader::valueFromReply and appendReport). Every
// result is checked against a model of the exchange written from the protocol, and every reply
// sits in a buffer of exactly its size, so that a read past it is caught.
//
// A ROM silent to every status check is fed the zero frames that end a write it may still wait for.
//
// Input: a mode byte (bit 0: HID, else serial; bits 1-2: the operation, 0 and 3 write an image,
// 1 reads the fingerprint, 2 jumps; bits 3-7 and the next byte: the image size), then the
// replies, one per read the loader makes: serial, a length byte and that many bytes; HID, up to
// 64 reports each given by a length byte (0 ends the read, as a read that brings nothing) and
// that many bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "input_reader.h"
#include "log_everything.h"
#include "recovery/imx/HID_SDPLoader.h"
#include "recovery/imx/SDPLoader.h"
#include "recovery/imx/Serial_SDPLoader.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned int kLoadAddress = 0x20209000;

struct Read {
  unsigned int timeoutMs;
  Bytes reply;
};

struct Recording {
  std::vector<Bytes> frames;
  std::vector<Read> reads;
};

class InputTransport : public SDPLoader_Interface {
 public:
  InputTransport(fuzz::InputReader& input, bool hid, Recording& recording)
      : input(input), hid(hid), recording(recording) {}

  bool init() override { return true; }

  long writeData(const Bytes& frame) override {
    recording.frames.push_back(frame);
    return static_cast<long>(hid ? frame.size() : frame.size() - 1);
  }

  unsigned long readData(Bytes& reply, unsigned int timeoutMs) override {
    size_t before = reply.size();
    if (hid) {
      for (unsigned int reports = 0; reports < HID_SDPLoader::MAX_REPORTS_PER_READ; ++reports) {
        size_t length = input.byte() % (HID_SDPLoader::MAX_REPORT_SIZE + 1);
        if (length == 0) break;
        Bytes report = input.block(length);
        if (report.empty()) break;
        size_t appended = HID_SDPLoader::appendReport(reply, report.data(), report.size());
        bool security = report[0] == HID_SDPLoader::SECURITY_REPORT;
        FUZZ_CHECK(appended == (security && report.size() > 5 ? 5 : report.size()));
      }
    } else {
      Bytes bytes = input.counted();
      reply.insert(reply.end(), bytes.begin(), bytes.end());
    }
    reply.shrink_to_fit();  // a read past the reply's end is now a read past its allocation
    recording.reads.push_back({timeoutMs, reply});
    return reply.size() - before;
  }

  bool getDataFromBuffer(const Bytes& reply, unsigned int offset, unsigned int& value) override {
    return hid ? HID_SDPLoader::valueFromReply(reply, offset, value)
               : Serial_SDPLoader::valueFromReply(reply, offset, value);
  }

 private:
  fuzz::InputReader& input;
  bool hid;
  Recording& recording;
};

// The reply layouts as the protocol gives them: HID, report 3 kept as 5 bytes and the 65 bytes of
// report 4 (70 in all), the value at 6 + offset; serial, the 4-byte security word and the value.
bool modelValue(bool hid, const Bytes& reply, unsigned int offset, unsigned int& value) {
  if (offset > 15) return false;
  if (hid) {
    if (reply.size() != 70) return false;
    value = fuzz::LittleEndian32(reply.data() + 6 + offset);
    return true;
  }
  if (reply.size() < (offset + 2) * 4) return false;
  value = fuzz::LittleEndian32(reply.data() + 4 + offset);
  return true;
}

Bytes commandFrame(unsigned char type, unsigned int address, unsigned char format, unsigned int count) {
  Bytes frame{1, type, type};
  for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<unsigned char>(address >> shift));
  frame.push_back(format);
  for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<unsigned char>(count >> shift));
  frame.resize(17, 0);
  return frame;
}

// Walks the recording as the exchange must have gone; the read and frame cursors advance as the
// loader's reads and writes must have.
struct Replay {
  bool hid;
  const Recording& recording;
  size_t read = 0;
  size_t frame = 0;

  const Read& nextRead() {
    FUZZ_CHECK(read < recording.reads.size());
    return recording.reads[read++];
  }
  const Bytes& nextFrame() {
    FUZZ_CHECK(frame < recording.frames.size());
    return recording.frames[frame++];
  }
  bool replyValue(const Read& reply, unsigned int& value) {
    FUZZ_CHECK(reply.timeoutMs == SDPLoader::REPLY_TIMEOUT_MS);
    return modelValue(hid, reply.reply, 0, value);
  }
  // The status check: up to five status frames, each followed by one read.
  bool alive(bool* heardAnything = nullptr) {
    for (int attempt = 0; attempt < SDPLoader::CONNECTION_ATTEMPTS; ++attempt) {
      FUZZ_CHECK(nextFrame() == commandFrame(SDPLoader::CMD_ERROR_STATUS, 0, 0, 0));
      const Read& reply = nextRead();
      if (heardAnything != nullptr && !reply.reply.empty()) *heardAnything = true;
      unsigned int value = 0;
      if (replyValue(reply, value)) return true;
    }
    return false;
  }
  // A ROM silent to every status check may be inside a write left half-sent: it is fed zero-filled
  // data frames, each followed by a look without waiting, until it answers or the largest write
  // is covered; then one read that waits, and the status check again.
  int endPendingWrite() {
    Bytes zeros(SDPLoader::DATA_FRAME_PAYLOAD + 1, 0);
    zeros[0] = SDPLoader::DATA_REPORT;
    bool answered = false;
    for (size_t fed = 0; !answered && fed < SDPLoader::LARGEST_PENDING_WRITE; fed += SDPLoader::DATA_FRAME_PAYLOAD) {
      FUZZ_CHECK(nextFrame() == zeros);
      const Read& look = nextRead();
      FUZZ_CHECK(look.timeoutMs == 0);
      answered = !look.reply.empty();
    }
    const Read& rest = nextRead();
    FUZZ_CHECK(rest.timeoutMs == SDPLoader::REPLY_TIMEOUT_MS);
    answered = answered || !rest.reply.empty();
    return answered && alive() ? SDPLoader::SDP_OK : SDPLoader::SDP_NEEDS_POWER_CYCLE;
  }
  int reachBootRom() {
    bool heardAnything = false;
    if (alive(&heardAnything)) return SDPLoader::SDP_OK;
    return heardAnything ? SDPLoader::SDP_NO_ANSWER : endPendingWrite();
  }
  bool register32(unsigned int address, unsigned int& value) {
    FUZZ_CHECK(nextFrame() == commandFrame(SDPLoader::CMD_READ_REGISTER, address, SDPLoader::FORMAT_32_BIT, 4));
    return replyValue(nextRead(), value);
  }
  void finished() { FUZZ_CHECK(read == recording.reads.size() && frame == recording.frames.size()); }
};

int expectedWrite(Replay& replay, const Bytes& image) {
  int reached = replay.reachBootRom();
  if (reached != SDPLoader::SDP_OK) return reached;
  FUZZ_CHECK(replay.nextFrame() == commandFrame(SDPLoader::CMD_WRITE_FILE, kLoadAddress, SDPLoader::FORMAT_32_BIT,
                                                static_cast<unsigned int>(image.size())));
  for (size_t at = 0; at < image.size(); at += SDPLoader::DATA_FRAME_PAYLOAD) {
    const Read& early = replay.nextRead();
    FUZZ_CHECK(early.timeoutMs == 0);
    if (!early.reply.empty()) return SDPLoader::SDP_TRANSFER_INTERRUPTED;
    size_t end = at + SDPLoader::DATA_FRAME_PAYLOAD < image.size() ? at + SDPLoader::DATA_FRAME_PAYLOAD : image.size();
    Bytes frame{SDPLoader::DATA_REPORT};
    frame.insert(frame.end(), image.begin() + static_cast<long>(at), image.begin() + static_cast<long>(end));
    FUZZ_CHECK(replay.nextFrame() == frame);
  }
  unsigned int value = 0;
  bool accepted = replay.replyValue(replay.nextRead(), value) && value == SDPLoader::REPLY_FILE_ACCEPTED;
  return accepted ? SDPLoader::SDP_OK : SDPLoader::SDP_FILE_NOT_ACCEPTED;
}

// Every reply seen, at every offset: the transport's parser agrees with the layout and ORs its
// value into the caller's variable, or leaves the variable alone.
void checkParsers(bool hid, const Recording& recording) {
  for (const Read& read : recording.reads) {
    for (unsigned int offset = 0; offset <= 16; ++offset) {
      const unsigned int preset = 0x00A50000;
      unsigned int parsed = preset;
      bool found = hid ? HID_SDPLoader::valueFromReply(read.reply, offset, parsed)
                       : Serial_SDPLoader::valueFromReply(read.reply, offset, parsed);
      unsigned int modelled = 0;
      FUZZ_CHECK(found == modelValue(hid, read.reply, offset, modelled));
      FUZZ_CHECK(parsed == (found ? (preset | modelled) : preset));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LogEverythingToNowhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  const uint8_t mode = input.byte();
  const bool hid = (mode & 1) != 0;
  const unsigned int operation = (mode >> 1) & 3;
  const size_t imageSize = static_cast<size_t>(input.byte()) * 32 + (mode >> 3);
  Bytes image(imageSize);
  for (size_t i = 0; i < imageSize; ++i) image[i] = static_cast<unsigned char>(i * 13 + 7);

  Recording recording;
  SDPLoader loader;
  FUZZ_CHECK(loader.setLoader(std::make_unique<InputTransport>(input, hid, recording)));
  FUZZ_CHECK(loader.init() == SDPLoader::SDP_OK);
  Replay replay{hid, recording};
  switch (operation) {
    case 1: {
      const unsigned long untouched = 0x5A5A5A5A5A5A5A5Aul;
      unsigned long fingerprint = untouched;
      int result = loader.getFingerprint(fingerprint);
      int expected = SDPLoader::SDP_NO_ANSWER;
      unsigned int low = 0, high = 0;
      if (replay.alive()) {
        bool values = replay.register32(SDPLoader::FINGERPRINT_LOW_REGISTER, low) &&
                      replay.register32(SDPLoader::FINGERPRINT_HIGH_REGISTER, high);
        expected = values ? SDPLoader::SDP_OK : SDPLoader::SDP_NO_REGISTER_VALUE;
      }
      FUZZ_CHECK(result == expected);
      FUZZ_CHECK(fingerprint == (result == SDPLoader::SDP_OK ? (static_cast<unsigned long>(high) << 32 | low)
                                                             : untouched));
      break;
    }
    case 2:
      loader.startLoader(kLoadAddress);
      FUZZ_CHECK(replay.nextFrame() == commandFrame(SDPLoader::CMD_JUMP_ADDRESS, kLoadAddress, 0, 0));
      FUZZ_CHECK(replay.nextRead().timeoutMs == SDPLoader::REPLY_TIMEOUT_MS);
      break;
    default:
      FUZZ_CHECK(loader.writeLoader(image, kLoadAddress) == expectedWrite(replay, image));
      break;
  }
  replay.finished();
  checkParsers(hid, recording);
  return 0;
}
