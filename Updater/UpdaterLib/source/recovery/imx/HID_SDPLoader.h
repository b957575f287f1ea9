#pragma once
#include <cstddef>
#include <vector>

#include "recovery/imx/SDPLoader_Interface.h"

struct hid_device_;

// SDP transport over the boot ROM's USB HID device (hidapi, hidraw backend). Reports 1 (command)
// and 2 (image data) go out as the frames' first byte says; reports 3 (security-mode word) and 4
// (status or data, 64 bytes) come in.
class HID_SDPLoader : public SDPLoader_Interface {
 public:
  // The NXP boot ROM's SDP device.
  static constexpr unsigned short IMX_VENDOR_ID = 0x1FC9;
  static constexpr unsigned short IMX_PRODUCT_ID = 0x0130;

  static constexpr unsigned char SECURITY_REPORT = 3;
  static constexpr size_t SECURITY_REPORT_KEPT = 5;  // identifier and the 4-byte word
  static constexpr size_t MAX_REPORT_SIZE = 65;      // identifier and 64 bytes
  // A status or register reply: report 3 kept as 5 bytes, then the 65 bytes of report 4.
  static constexpr size_t VALUE_REPLY_SIZE = 70;
  static constexpr size_t VALUE_OFFSET = 6;
  static constexpr unsigned int MAX_VALUE_OFFSET = 15;
  // One readData call stops after this many reports even if the device keeps sending, so that a
  // chattering device cannot keep the caller reading forever.
  static constexpr unsigned int MAX_REPORTS_PER_READ = 64;

  HID_SDPLoader(unsigned short vendorId, unsigned short productId);
  ~HID_SDPLoader() override;

  // Opens the first device with the vendor and product id, whatever its serial number.
  [[nodiscard]] bool init() override;
  // One HID write of the whole frame (its first byte is the report identifier); hidapi's result.
  [[nodiscard]] long writeData(const std::vector<unsigned char>& frame) override;
  // Reads reports of up to 65 bytes, each with timeoutMs, until one read brings nothing.
  unsigned long readData(std::vector<unsigned char>& reply, unsigned int timeoutMs) override;
  [[nodiscard]] bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                                       unsigned int& value) override;

  // Appends one report read from the device to reply, cut to SECURITY_REPORT_KEPT bytes when it
  // is report 3; returns the number of bytes appended.
  static size_t appendReport(std::vector<unsigned char>& reply, const unsigned char* report, size_t length);
  // The value layout of HID replies: only a reply of exactly VALUE_REPLY_SIZE bytes holds one,
  // little-endian at VALUE_OFFSET + offset, offset at most MAX_VALUE_OFFSET.
  [[nodiscard]] static bool valueFromReply(const std::vector<unsigned char>& reply, unsigned int offset,
                                           unsigned int& value);

 private:
  hid_device_* handle = nullptr;
  unsigned short vendorId;
  unsigned short productId;
  bool hidapiStarted = false;
};
