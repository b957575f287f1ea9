#include "recovery/imx/HID_SDPLoader.h"

#include <hidapi.h>

#include "Log.h"

HID_SDPLoader::HID_SDPLoader(unsigned short vendorId, unsigned short productId)
    : vendorId(vendorId), productId(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle != nullptr) hid_close(handle);
  handle = nullptr;
  if (hidapiStarted) hid_exit();
}

bool HID_SDPLoader::init() {
  if (handle != nullptr) return true;
  if (!hidapiStarted) {
    if (hid_init() != 0) return false;
    hidapiStarted = true;
  }
  handle = hid_open(vendorId, productId, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle));
  return handle != nullptr;
}

long HID_SDPLoader::writeData(const std::vector<unsigned char>& frame) {
  if (handle == nullptr || frame.empty()) return -1;
  return hid_write(handle, frame.data(), frame.size());
}

unsigned long HID_SDPLoader::readData(std::vector<unsigned char>& reply, unsigned int timeoutMs) {
  if (handle == nullptr) return 0;
  unsigned long count = 0;
  for (unsigned int reports = 0; reports < MAX_REPORTS_PER_READ; ++reports) {
    unsigned char report[MAX_REPORT_SIZE];
    int length = hid_read_timeout(handle, report, sizeof report, static_cast<int>(timeoutMs));
    if (length <= 0) break;
    count += appendReport(reply, report, static_cast<size_t>(length));
  }
  return count;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                                      unsigned int& value) {
  return valueFromReply(reply, offset, value);
}

size_t HID_SDPLoader::appendReport(std::vector<unsigned char>& reply, const unsigned char* report, size_t length) {
  if (report == nullptr || length == 0) return 0;
  if (report[0] == SECURITY_REPORT && length > SECURITY_REPORT_KEPT) length = SECURITY_REPORT_KEPT;
  reply.insert(reply.end(), report, report + length);
  return length;
}

bool HID_SDPLoader::valueFromReply(const std::vector<unsigned char>& reply, unsigned int offset,
                                   unsigned int& value) {
  if (reply.size() != VALUE_REPLY_SIZE || offset > MAX_VALUE_OFFSET) return false;
  size_t at = VALUE_OFFSET + offset;
  value |= static_cast<unsigned int>(reply[at]) | static_cast<unsigned int>(reply[at + 1]) << 8 |
           static_cast<unsigned int>(reply[at + 2]) << 16 | static_cast<unsigned int>(reply[at + 3]) << 24;
  return true;
}
