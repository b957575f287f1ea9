// Fuzz target: the LPC boot-ROM client's handling of what the chip sends (echoes, Response and
// GetLine, return codes, value lines, uuencoded data lines, checksum answers), with echo on and
// off. The client runs a series of commands over a stream whose bytes come from the input: each
// write of the client releases the next piece of the chip's answer, as a chip answers what it
// was sent. Waits cost no time (fake_clock.h). Every buffer the client is given has exactly its
// size, so a write or read past it is caught. Besides that:
//   - a write sends data lines that uudecode to the image, in order, each group followed by its
//     byte sum; a rejected group is sent again from its start, at most twice in all; success
//     means every byte was sent;
//   - the echo flag changes only when SetEcho succeeds;
//   - uuencode and uudecode invert each other, and uudecode stores no more than it may.
//
// Input: a baud-rate index byte, then commands: a command byte (low 4 bits: which; the others
// and, for some, a following byte: its arguments), each followed by the chip's answers, one
// piece per write of the client: a length (one byte; with bit 7 set, 15 bits in two bytes) and
// that many bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "aStream.h"
#include "fake_clock.h"
#include "input_reader.h"
#include "log_everything.h"
#include "recovery/lpc/LpcIspWire.h"
#include "recovery/lpc/NXPSerialClass.h"

namespace {

using Bytes = std::vector<uint8_t>;

const unsigned int kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// The chip: each write of the client releases the next piece of the input to be read.
struct Chip {
  fuzz::InputReader* input = nullptr;
  Bytes readable;
  size_t at = 0;
  std::vector<std::string> writes;

  void releasePiece() {
    size_t length = input->byte();
    if (length & 0x80) length = (length & 0x7F) << 8 | input->byte();
    Bytes piece = input->block(length);
    readable.insert(readable.end(), piece.begin(), piece.end());
  }
};

aErr chipGet(uint8_t* out, void* ref) {
  Chip& chip = *static_cast<Chip*>(ref);
  if (chip.at >= chip.readable.size()) return aErrNotReady;
  *out = chip.readable[chip.at++];
  return aErrNone;
}

aErr chipWrite(const uint8_t* data, size_t length, void* ref) {
  Chip& chip = *static_cast<Chip*>(ref);
  chip.writes.emplace_back(reinterpret_cast<const char*>(data), length);
  chip.releasePiece();
  return aErrNone;
}

aErr chipPut(const uint8_t* byte, void* ref) { return chipWrite(byte, 1, ref); }

aErr chipDelete(void*) { return aErrNone; }

// Standard uudecoding of one line (without line end); false when the line is not one.
bool decodeLine(const std::string& line, Bytes& out) {
  if (line.empty()) return false;
  unsigned int count = (static_cast<unsigned char>(line[0]) - 32u) & 63u;
  if (line.size() != 1 + 4 * ((count + 2) / 3)) return false;
  out.clear();
  for (size_t at = 1; out.size() < count; at += 4) {
    unsigned int group = 0;
    for (size_t k = 0; k < 4; ++k) group = group << 6 | ((static_cast<unsigned char>(line[at + k]) - 32u) & 63u);
    for (int shift = 16; shift >= 0 && out.size() < count; shift -= 8) out.push_back(static_cast<uint8_t>(group >> shift));
  }
  return true;
}

unsigned int byteSum(const Bytes& image, size_t from, size_t to) {
  unsigned int total = 0;
  for (size_t i = from; i < to; ++i) total += image[i];
  return total;
}

// The writes of one Write command, read back as the chip would take them.
void checkWriteTraffic(const std::vector<std::string>& writes, const Bytes& image, unsigned int address, aErr result) {
  FUZZ_CHECK(!writes.empty());
  FUZZ_CHECK(writes[0] == "W " + std::to_string(address) + " " + std::to_string(image.size()) + "\r\n");
  size_t written = 0, acknowledged = 0, lines = 0, resends = 0;
  bool checksumPending = false;
  for (size_t w = 1; w < writes.size(); ++w) {
    const std::string& text = writes[w];
    Bytes decoded;
    if (!checksumPending && decodeLine(text, decoded) && !decoded.empty()) {
      FUZZ_CHECK(w + 1 < writes.size() || result != aErrNone);
      FUZZ_CHECK(decoded.size() <= NXPSerialClass::MAX_BYTES_PER_LINE);
      FUZZ_CHECK(written + decoded.size() <= image.size());
      FUZZ_CHECK(Bytes(image.begin() + static_cast<long>(written),
                       image.begin() + static_cast<long>(written + decoded.size())) == decoded);
      written += decoded.size();
      ++lines;
      if (lines == NXPSerialClass::LINES_PER_CHECKSUM || written == image.size()) checksumPending = true;
      continue;
    }
    if (text == "\r\n") continue;
    FUZZ_CHECK(checksumPending);
    FUZZ_CHECK(text == std::to_string(byteSum(image, acknowledged, written)) + "\r\n");
    checksumPending = false;
    lines = 0;
    // Whatever the answer was, the next data line shows how the client took it: going on after the
    // group (accepted) or starting the group again (rejected).
    size_t next = w + 1;
    while (next < writes.size() && writes[next] == "\r\n") ++next;
    if (next < writes.size() && decodeLine(writes[next], decoded) && written < image.size() &&
        Bytes(image.begin() + static_cast<long>(written),
              image.begin() + static_cast<long>(std::min(written + decoded.size(), image.size()))) == decoded) {
      acknowledged = written;
    } else if (next < writes.size()) {
      ++resends;
      written = acknowledged;
    } else if (result == aErrNone) {
      acknowledged = written;
    }
  }
  FUZZ_CHECK(resends < NXPSerialClass::MAX_READ_RETRY);
  if (result == aErrNone) FUZZ_CHECK(acknowledged == image.size());
}

void checkUuRoundTrip(const Bytes& bytes) {
  unsigned int n = static_cast<unsigned int>(std::min<size_t>(bytes.size(), LpcIspWire::UU_MAX_LINE_BYTES));
  std::vector<char> line(LpcIspWire::UU_LINE_CAPACITY);
  FUZZ_CHECK(LpcIspWire::uuencode(line.data(), bytes.data(), n) == n);
  FUZZ_CHECK(strlen(line.data()) == 1 + 4 * ((n + 2) / 3));
  Bytes decoded(n);
  FUZZ_CHECK(LpcIspWire::uudecode(decoded.data(), n, line.data()) == n);
  FUZZ_CHECK(decoded == Bytes(bytes.begin(), bytes.begin() + n));
  // The same bytes read as a received line, in a buffer of exactly its size: never more stored
  // than allowed, nothing read past the line's end.
  std::vector<char> text(bytes.begin(), bytes.end());
  text.push_back('\0');
  for (unsigned int max = 0; max <= 64; max += 16) {
    Bytes out(max);
    unsigned int stored = LpcIspWire::uudecode(out.data(), max, text.data());
    FUZZ_CHECK(stored <= max);
  }
}

struct Session {
  NXPSerialClass client;
  // The same chip seen through the wire alone, for the reading primitives.
  LpcIspWire wire;
  Chip chip;
  fuzz::InputReader& input;

  explicit Session(fuzz::InputReader& reader) : input(reader) { chip.input = &reader; }

  aErr runCommand(uint8_t command) {
    const unsigned int argument = command >> 4;
    switch (command & 0x0F) {
      case 0: return client.Sync();
      case 1: return client.GetDeviceID();
      case 2: return client.Unlock();
      case 3: return client.Prepare(argument, argument + input.byte() % 30);
      case 4: return client.Erase(argument, argument + input.byte() % 30);
      case 5: {
        const bool before = client.Echo();
        const bool on = (argument & 1) != 0;
        aErr result = client.SetEcho(on);
        FUZZ_CHECK(client.Echo() == (result == aErrNone ? on : before));
        return result;
      }
      case 6: {
        Bytes image((static_cast<size_t>(input.byte()) + 1) * 4 * ((argument & 3) + 1));
        // No two stretches of the image alike, so that a group sent again is told from the next.
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
        chip.writes.clear();
        aErr result = client.Write(NXPSerialClass::WRITE_ADDRESS, static_cast<unsigned int>(image.size()), image.data());
        checkWriteTraffic(chip.writes, image, NXPSerialClass::WRITE_ADDRESS, result);
        return result;
      }
      case 7: return client.CopyToFlash(argument * 0x1000, NXPSerialClass::WRITE_ADDRESS, 256u << (input.byte() % 5));
      case 8: return client.ExecuteFrom(argument);
      case 9: {
        unsigned char major = 0, minor = 0;
        return client.GetBootLoaderVersion(&major, &minor);
      }
      case 10: {
        long part = 0;
        return client.GetPartNumber(&part);
      }
      case 11: return client.SetBaudRate(kRates[argument % 8]);
      case 12: {
        Bytes data((static_cast<size_t>(input.byte()) + 1) * 4);
        return client.Read(0, static_cast<unsigned int>(data.size()), data.data());
      }
      case 13: {
        Bytes line = input.counted();
        std::vector<char> buffer(line.size() + 1);
        unsigned long length = 0;
        aErr result = wire.Response(buffer.data(), buffer.size(), &length, reinterpret_cast<const char*>(line.data()),
                                      line.size());
        FUZZ_CHECK(length < buffer.size() && buffer[length] == '\0');
        return result;
      }
      case 14: {
        std::vector<char> buffer(1 + input.byte());
        unsigned long length = 0;
        aErr result = wire.GetLine(buffer.data(), buffer.size(), &length, 1 + argument);
        FUZZ_CHECK(length < buffer.size() && buffer[length] == '\0');
        return result;
      }
      default:
        checkUuRoundTrip(input.counted());
        return aErrNone;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LogEverythingToNowhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  Session session(input);
  aStreamRef stream = aStream_Create(chipGet, chipPut, chipWrite, chipDelete, &session.chip);
  FUZZ_CHECK(stream != nullptr);
  const unsigned int rate = kRates[input.byte() % 8];
  FUZZ_CHECK(session.client.Attach(stream, rate) == aErrNone);
  aStreamRef wireStream = aStream_Create(chipGet, chipPut, chipWrite, chipDelete, &session.chip);
  FUZZ_CHECK(wireStream != nullptr);
  FUZZ_CHECK(session.wire.Attach(wireStream, rate) == aErrNone);
  // A failed command is a right answer to a garbled chip; crashes and hangs are what is looked for.
  while (!input.empty()) (void)session.runCommand(input.byte());
  return 0;
}
