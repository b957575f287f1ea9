// Drives the USB stream and the hyusb device layer for the end-to-end tests over emulated USB
// (sim/usb_modules.py): one command per line on standard input, one JSON line per command on
// standard output.
//
//   open SERIAL              aStream_CreateUSB
//   write HEX | write fill:N:BB
//                            aStream_Write of those bytes
//   read N MS                reads byte by byte until N bytes came or MS passed
//   get                      one aStream_Read of one byte
//   close                    aStream_Destroy
//   hy create                hyusb_create_usb(1) (libusb)
//   hy open TEXT | hy get | hy write HEX | hy close | hy state | hy destroy
//   node SERIAL              hyusb_is_kernel_driver_installed
//   inits                    how many libusb contexts this process has created
//   quit
//
// Results: {"err": code, "errText": text, ...}.
#include <dlfcn.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "aError.h"
#include "aStream.h"
#include "driver_support.h"
#include "hyusb.h"

namespace {

std::atomic<int> gLibusbInits{0};

}  // namespace

// Counts the contexts the runtime creates; the call goes on to libusb itself.
extern "C" int libusb_init(libusb_context** context) {
  using InitProc = int (*)(libusb_context**);
  static InitProc real = reinterpret_cast<InitProc>(dlsym(RTLD_NEXT, "libusb_init"));
  ++gLibusbInits;
  return real != nullptr ? real(context) : LIBUSB_ERROR_OTHER;
}

namespace {

using Words = std::vector<std::string>;

aStreamRef gStream = nullptr;
hyusb* gDevice = nullptr;

driver::Json result(aErr err) {
  driver::Json json;
  json.field("err", static_cast<long long>(err)).field("errText", aError_GetErrorText(err));
  return json;
}

void fail(const std::string& why) { driver::Json().field("error", why).print(); }

std::string hexText(const std::vector<uint8_t>& data) {
  std::string text;
  char digits[3];
  for (uint8_t byte : data) {
    snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

// "0A0B..." or "fill:N:BB" (N bytes of value BB).
bool parseBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  bytes->clear();
  if (text.rfind("fill:", 0) == 0) {
    size_t colon = text.find(':', 5);
    if (colon == std::string::npos) return false;
    unsigned long count = strtoul(text.substr(5, colon - 5).c_str(), nullptr, 0);
    unsigned long value = strtoul(text.substr(colon + 1).c_str(), nullptr, 16);
    if (count > 1000000 || value > 0xFF) return false;
    bytes->assign(count, static_cast<uint8_t>(value));
    return true;
  }
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    unsigned long value = strtoul(pair.c_str(), &end, 16);
    if (*end != '\0') return false;
    bytes->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

void openStream(const Words& w) {
  uint32_t serial = 0;
  if (w.size() != 2 || !driver::parseSerial(w[1].c_str(), &serial)) return fail("open SERIAL");
  if (gStream != nullptr) return fail("a stream is already open");
  aErr err = aStream_CreateUSB(serial, &gStream);
  result(err).field("open", gStream != nullptr).print();
}

void writeStream(const Words& w) {
  std::vector<uint8_t> bytes;
  if (w.size() != 2 || !parseBytes(w[1], &bytes)) return fail("write HEX");
  if (gStream == nullptr) return fail("no stream");
  result(aStream_Write(gStream, bytes.data(), bytes.size())).print();
}

// Byte by byte, as the link engine's reader does; the last result is reported.
void readStream(const Words& w) {
  if (w.size() != 3) return fail("read N MS");
  if (gStream == nullptr) return fail("no stream");
  unsigned long wanted = strtoul(w[1].c_str(), nullptr, 0);
  unsigned long limitMs = strtoul(w[2].c_str(), nullptr, 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  std::vector<uint8_t> data;
  aErr last = aErrNone;
  long long notReady = 0;
  while (data.size() < wanted && std::chrono::steady_clock::now() < deadline) {
    uint8_t byte = 0;
    last = aStream_Read(gStream, &byte, 1);
    if (last == aErrNone) {
      data.push_back(byte);
    } else if (last == aErrNotReady) {
      ++notReady;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    } else {
      break;
    }
  }
  result(last).field("count", static_cast<long long>(data.size())).field("data", hexText(data))
      .field("notReady", notReady).print();
}

void getStream() {
  if (gStream == nullptr) return fail("no stream");
  uint8_t byte = 0;
  aErr err = aStream_Read(gStream, &byte, 1);
  driver::Json json = result(err);
  if (err == aErrNone) json.field("byte", static_cast<long long>(byte));
  json.print();
}

void closeStream() {
  if (gStream == nullptr) return fail("no stream");
  result(aStream_Destroy(&gStream)).field("nulled", gStream == nullptr).print();
}

driver::Json deviceState(aErr err) {
  driver::Json json = result(err);
  if (gDevice != nullptr) {
    json.field("state", static_cast<long long>(gDevice->state.load()))
        .field("context", gDevice->context != nullptr)
        .field("handle", gDevice->handle != nullptr)
        .field("remaining", static_cast<long long>(gDevice->remaining))
        .field("in", static_cast<long long>(gDevice->inEndpoint))
        .field("out", static_cast<long long>(gDevice->outEndpoint));
  }
  return json;
}

void deviceCommand(const Words& w) {
  if (w.size() < 2) return fail("hy OPERATION");
  const std::string& op = w[1];
  if (op == "create") {
    if (gDevice != nullptr) return fail("a device record exists");
    gDevice = hyusb_create_usb(1);
    return deviceState(gDevice != nullptr ? aErrNone : aErrResource).print();
  }
  if (gDevice == nullptr) return fail("no device record");
  if (op == "open" && w.size() == 3) return deviceState(hyusb_open_halyard_device(gDevice, w[2].c_str())).print();
  if (op == "get") {
    uint8_t byte = 0;
    aErr err = hyusb_get_from_device(gDevice, &byte);
    driver::Json json = deviceState(err);
    if (err == aErrNone) json.field("byte", static_cast<long long>(byte));
    return json.print();
  }
  if (op == "write" && w.size() == 3) {
    std::vector<uint8_t> bytes;
    if (!parseBytes(w[2], &bytes)) return fail("hy write HEX");
    return deviceState(hyusb_write_to_device(gDevice, bytes.data(), bytes.size())).print();
  }
  if (op == "close") return deviceState(hyusb_close_halyard_device(gDevice)).print();
  if (op == "state") return deviceState(aErrNone).print();
  if (op == "destroy") return result(hyusb_destroy(&gDevice)).field("nulled", gDevice == nullptr).print();
  fail("unknown hy operation " + op);
}

void nodeCommand(const Words& w) {
  uint32_t serial = 0;
  if (w.size() != 2 || !driver::parseSerial(w[1].c_str(), &serial)) return fail("node SERIAL");
  driver::Json().field("installed", hyusb_is_kernel_driver_installed(serial)).print();
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    Words w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    const std::string& verb = w[0];
    if (verb == "quit") break;
    if (verb == "open") {
      openStream(w);
    } else if (verb == "write") {
      writeStream(w);
    } else if (verb == "read") {
      readStream(w);
    } else if (verb == "get") {
      getStream();
    } else if (verb == "close") {
      closeStream();
    } else if (verb == "hy") {
      deviceCommand(w);
    } else if (verb == "node") {
      nodeCommand(w);
    } else if (verb == "inits") {
      driver::Json().field("inits", static_cast<long long>(gLibusbInits.load())).print();
    } else {
      fail("unknown command " + verb);
    }
  }
  if (gStream != nullptr) (void)aStream_Destroy(&gStream);
  if (gDevice != nullptr) (void)hyusb_destroy(&gDevice);  // exit: nothing left to report
  return 0;
}
