#pragma once
// Access to one module of the family over USB, either through libusb or through the family's
// kernel driver node "/dev/halyard.%08X". Every operation dispatches on useLibusb; a variant
// called for the other selector gives aErrMode.
#include <libusb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "aError.h"

enum hyusbState : uint32_t {
  hyusbCreated = 1,
  hyusbClosed = 2,
  hyusbOpened = 3,  // device open, interface not yet claimed
  hyusbReady = 4,   // interface claimed
  hyusbTransferError = 5,
};

constexpr size_t kHyusbSerialTextSize = 52;
constexpr size_t kHyusbReceiveBufferSize = 6400;
constexpr int kHyusbInTransferSize = 800;
constexpr size_t kHyusbOutChunkSize = 50;
constexpr unsigned kHyusbOutTimeoutMs = 50;
constexpr unsigned kHyusbInTimeoutMs = 100;
constexpr int kHyusbMaxWriteAttempts = 100;
constexpr int kHyusbMaxNodeWrites = 1000;

// Link interface of a module: vendor-specific class with this subclass and protocol.
constexpr uint8_t kHalyardInterfaceClass = 0xFF;
constexpr uint8_t kHalyardInterfaceSubclass = 0x88;
constexpr uint8_t kHalyardInterfaceProtocol = 0x10;

struct hyusb {
  uint32_t useLibusb;  // 1 = libusb, 0 = kernel node
  char serialNumber[kHyusbSerialTextSize];
  int fd;  // kernel node descriptor, -1 when closed
  libusb_context* context;
  libusb_device_handle* handle;
  // The link's reader and writer threads may both move the device to the transfer-error state.
  std::atomic<uint32_t> state;
  int interfaceNumber;
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  uint8_t buffer[kHyusbReceiveBufferSize];
  uint8_t* readPosition;
  uint32_t remaining;
};

// A record in state 1; null when memory or libusb initialisation fails.
hyusb* hyusb_create_usb(uint32_t useLibusb);
bool hyusb_is_kernel_driver_installed(uint32_t serialNumber);
[[nodiscard]] aErr hyusb_open_halyard_device(hyusb* usb, const char* serialText);
[[nodiscard]] aErr hyusb_write_to_device(hyusb* usb, const uint8_t* data, size_t length);
[[nodiscard]] aErr hyusb_get_from_device(hyusb* usb, uint8_t* byte);
// Waits up to timeoutMs for the kernel node to have a byte; libusb reads wait by themselves.
[[nodiscard]] aErr hyusb_await_readable(hyusb* usb, unsigned timeoutMs);
[[nodiscard]] aErr hyusb_close_halyard_device(hyusb* usb);
[[nodiscard]] aErr hyusb_destroy(hyusb** usb);

// The two variants behind each dispatching operation.
[[nodiscard]] aErr hyusb_open_halyard_USBlib_device(hyusb* usb, const char* serialText);
[[nodiscard]] aErr hyusb_open_halyard_kernel_device(hyusb* usb, const char* serialText);
[[nodiscard]] aErr hyusb_write_to_USBlib_device(hyusb* usb, const uint8_t* data, size_t length);
[[nodiscard]] aErr hyusb_write_to_kernel_device(hyusb* usb, const uint8_t* data, size_t length);
[[nodiscard]] aErr hyusb_get_from_USBlib_device(hyusb* usb, uint8_t* byte);
[[nodiscard]] aErr hyusb_get_from_kernel_device(hyusb* usb, uint8_t* byte);
[[nodiscard]] aErr hyusb_close_halyard_USBlib_device(hyusb* usb);
[[nodiscard]] aErr hyusb_close_halyard_kernel_device(hyusb* usb);

// Identification of the family and of its link interface.
bool is_halyard_device(libusb_device* device);
bool find_usb_endpoints(hyusb* usb);
bool hyusb_is_halyard_descriptor(const struct libusb_device_descriptor* descriptor);
// Applies the endpoint rules to one configuration; false unless both endpoints were found.
bool hyusb_find_endpoints_in_config(const struct libusb_config_descriptor* config, int* interfaceNumber,
                                    uint8_t* inEndpoint, uint8_t* outEndpoint);

// Where kernel nodes are looked for: the node of serial number S is prefix followed by "%08X".
// The default is "/dev/halyard."; tests point it elsewhere. A null prefix restores the default.
void hyusb_set_node_prefix(const char* prefix);
// Writes the node path of a serial number; false when it does not fit.
bool hyusb_node_path(uint32_t serialNumber, char* path, size_t capacity);
