// USB transport: a module of the family through its kernel node or through libusb (hyusb).
// Reads are served from the device's receive buffer; writes go out in 50-byte chunks.
#include <cstdio>
#include <new>

#include "aStream.h"
#include "hyusb.h"

namespace {

constexpr uint16_t kUSBStreamCheck = 0xDEAD;

struct aUnixUSBStream {
  uint32_t serialNumber;
  hyusb* device;
  uint16_t check;
};

aUnixUSBStream* record(void* ref) {
  aUnixUSBStream* usb = static_cast<aUnixUSBStream*>(ref);
  return usb != nullptr && usb->check == kUSBStreamCheck ? usb : nullptr;
}

aErr usbGet(uint8_t* out, void* ref) {
  aUnixUSBStream* usb = record(ref);
  if (usb == nullptr || out == nullptr) return aErrParam;
  return hyusb_get_from_device(usb->device, out);
}

aErr usbWrite(const uint8_t* data, size_t length, void* ref) {
  aUnixUSBStream* usb = record(ref);
  if (usb == nullptr || data == nullptr) return aErrParam;
  return hyusb_write_to_device(usb->device, data, length);
}

aErr usbPut(const uint8_t* byte, void* ref) { return usbWrite(byte, 1, ref); }

aErr usbReady(unsigned timeoutMs, void* ref) {
  aUnixUSBStream* usb = record(ref);
  if (usb == nullptr) return aErrParam;
  return hyusb_await_readable(usb->device, timeoutMs);
}

// Releases the device and the record whatever closing gives, so nothing outlives the stream.
aErr usbDelete(void* ref) {
  aUnixUSBStream* usb = record(ref);
  if (usb == nullptr) return aErrParam;
  aErr result = hyusb_close_halyard_device(usb->device);
  (void)hyusb_destroy(&usb->device);  // teardown: fails only for a null device
  usb->check = 0;
  delete usb;
  return result;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
  if (stream == nullptr || serialNumber == 0) return aErrParam;
  *stream = nullptr;
  aUnixUSBStream* usb = new (std::nothrow) aUnixUSBStream{serialNumber, nullptr, kUSBStreamCheck};
  if (usb == nullptr) return aErrMemory;
  bool kernelNode = hyusb_is_kernel_driver_installed(serialNumber);
  usb->device = hyusb_create_usb(kernelNode ? 0 : 1);
  if (usb->device == nullptr) {
    delete usb;
    return aErrResource;
  }
  char serialText[kHyusbSerialTextSize];
  snprintf(serialText, sizeof serialText, "%08X", serialNumber);
  aErr result = hyusb_open_halyard_device(usb->device, serialText);
  if (result != aErrNone) {
    (void)hyusb_destroy(&usb->device);  // cleanup: the open error is returned
    delete usb;
    return result;
  }
  *stream = aStream_Create(usbGet, usbPut, usbWrite, usbDelete, usb);
  if (*stream == nullptr) {
    usbDelete(usb);
    return aErrMemory;
  }
  if (kernelNode) return aStream_SetReadyProc(*stream, usbReady);
  return aErrNone;
}
