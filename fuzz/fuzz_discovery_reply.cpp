// Fuzz target: what discovery makes of the bytes modules send: the TCP/IP reply datagrams of one
// discovery window (any number, any length, any content), each offered to a callback through
// aDiscovery_OfferReply as the window does with every datagram it keeps (the window itself passes
// over datagrams too short for a serial number and modules it offered already), and the USB
// serial-number strings. Every datagram
// sits in a buffer of exactly its size, so a read past it is caught; every record must hold the
// fields the reply layout gives, the count must follow the callback's answers, and the window must
// stop when the callback asks.
//
// Input: a mode byte; odd, the rest is a list of serial-number strings (a length byte, 0x80 and
// above standing for a failed read, and the characters); even, the rest is the window, each
// datagram given by a control byte (bits 0-5: its length, up to 63 bytes; bit 6: the callback
// counts the module; bit 7: the callback asks to stop) and its bytes.
#include <arpa/inet.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "aDiscovery.h"
#include "aLinkSpec.h"
#include "input_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Datagram {
  Bytes bytes;
  uint32_t source;
  bool take;
  bool stop;
};

struct Window {
  const std::vector<Datagram>* datagrams;
  size_t offered = 0;
  size_t taken = 0;
};

// The reply layout: byte 1 the address, 2-3 the port and 4-7 the serial number (least significant
// first), 12 the model; at most 16 bytes count, missing ones are 0 and a missing model is 0xFF.
void checkRecord(const linkSpec& spec, const Datagram& datagram) {
  uint8_t field[16] = {};
  field[12] = 0xFF;
  for (size_t i = 0; i < datagram.bytes.size() && i < sizeof field; ++i) field[i] = datagram.bytes[i];
  const uint32_t serial = fuzz::LittleEndian32(field + 4);
  FUZZ_CHECK(spec.type == linkTypeTCPIP);
  FUZZ_CHECK(spec.serialNumber == serial && spec.routerSerialNumber == serial);
  FUZZ_CHECK(spec.moduleAddress == field[1] && spec.router == field[1]);
  FUZZ_CHECK(spec.model == field[12]);
  FUZZ_CHECK(spec.t.ip.ipAddress == datagram.source);
  FUZZ_CHECK(spec.t.ip.ipPort == (static_cast<uint32_t>(field[2]) | static_cast<uint32_t>(field[3]) << 8));
}

bool onModule(const linkSpec* spec, bool* found, void* reference) {
  Window& window = *static_cast<Window*>(reference);
  FUZZ_CHECK(spec != nullptr && found != nullptr && !*found);
  FUZZ_CHECK(window.offered < window.datagrams->size());
  const Datagram& datagram = (*window.datagrams)[window.offered++];
  checkRecord(*spec, datagram);
  *found = datagram.take;
  if (datagram.take) ++window.taken;
  return !datagram.stop;
}

void runWindow(fuzz::InputReader& input) {
  std::vector<Datagram> datagrams;
  while (!input.empty()) {
    const uint8_t control = input.byte();
    Datagram datagram;
    datagram.bytes = input.block(control & 0x3F);
    datagram.source = htonl(0x0A4D0000u | static_cast<uint32_t>(datagrams.size()));
    datagram.take = (control & 0x40) != 0;
    datagram.stop = (control & 0x80) != 0;
    datagrams.push_back(datagram);
  }
  Window window{&datagrams};
  uint8_t count = 0;
  size_t offered = 0;
  bool goOn = true;
  while (goOn && offered < datagrams.size()) {
    const Datagram& datagram = datagrams[offered++];
    goOn = aDiscovery_OfferReply(datagram.bytes.data(), static_cast<unsigned>(datagram.bytes.size()), datagram.source,
                                 onModule, &window, &count);
    FUZZ_CHECK(goOn == !datagram.stop);
  }
  FUZZ_CHECK(window.offered == offered);
  FUZZ_CHECK(count == (window.taken < 255 ? window.taken : 255));
}

void runSerialTexts(fuzz::InputReader& input) {
  while (!input.empty()) {
    const uint8_t length = input.byte();
    const bool failedRead = length >= 0x80;
    Bytes text = input.block(failedRead ? 8 : length);
    // A failed read reports a negative length whatever the buffer holds.
    const int reported = failedRead ? -static_cast<int>(length & 0x7F) : static_cast<int>(text.size());
    const uint32_t preset = 0xC0FFEE00;
    uint32_t serial = preset;
    bool valid = aDiscovery_ParseSerialText(reinterpret_cast<const char*>(text.data()), reported, &serial);
    bool eightDigits = reported == 8;
    uint32_t value = 0;
    for (int i = 0; eightDigits && i < 8; ++i) {
      eightDigits = isxdigit(text[i]) != 0;
      int digit = isdigit(text[i]) ? text[i] - '0' : (tolower(text[i]) - 'a' + 10);
      value = value << 4 | static_cast<uint32_t>(digit);
    }
    FUZZ_CHECK(valid == eightDigits);
    FUZZ_CHECK(serial == (valid ? value : preset));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  if (input.byte() & 1) {
    runSerialTexts(input);
  } else {
    runWindow(input);
  }
  return 0;
}
