#include "hyusb.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "aDefs.h"
#include "aDiscovery.h"

namespace {

constexpr const char* kDefaultNodePrefix = "/dev/halyard.";
constexpr size_t kSerialStringLength = 50;
// Total time a kernel-node write may wait for the node to take more bytes.
constexpr int kNodeWriteBudgetMs = 500;
constexpr uint8_t kEndpointDirectionIn = 0x80;
constexpr uint8_t kEndpointBulkOrInterrupt = 0x02;

std::mutex gNodePrefixMutex;
std::string gNodePrefix = kDefaultNodePrefix;

bool usesLibusb(const hyusb* usb) { return usb->useLibusb == 1; }

void forgetDevice(hyusb* usb) {
  usb->state = hyusbClosed;
  usb->interfaceNumber = 0;
  usb->inEndpoint = 0;
  usb->outEndpoint = 0;
}

void closeHandle(hyusb* usb) {
  libusb_close(usb->handle);
  usb->handle = nullptr;
  forgetDevice(usb);
}

// The device's serial-number string, or false when it cannot be read.
bool readSerialString(libusb_device* device, libusb_device_handle* handle, char* text, size_t capacity) {
  struct libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
  int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                  reinterpret_cast<unsigned char*>(text),
                                                  static_cast<int>(capacity - 1));
  if (length < 0) return false;
  text[length] = '\0';
  return true;
}

// The serial number a serial string names, by the rule discovery lists modules by: eight
// hexadecimal digits of either case. False for any other text.
bool serialNumberOf(const char* text, uint32_t* serial) {
  return aDiscovery_ParseSerialText(text, static_cast<int>(strnlen(text, kSerialStringLength + 1)), serial);
}

// The open handle of the family device whose serial string names the same serial number as
// serialText, or null.
libusb_device_handle* openBySerial(libusb_device** devices, ssize_t count, const char* serialText) {
  uint32_t wanted = 0;
  if (!serialNumberOf(serialText, &wanted)) return nullptr;
  for (ssize_t i = 0; i < count; ++i) {
    if (!is_halyard_device(devices[i])) continue;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(devices[i], &handle) != 0) continue;
    char text[kSerialStringLength + 1];
    uint32_t serial = 0;
    if (readSerialString(devices[i], handle, text, sizeof text) && serialNumberOf(text, &serial) &&
        serial == wanted) {
      return handle;
    }
    libusb_close(handle);
  }
  return nullptr;
}

aErr claimError(int error) {
  switch (error) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
      return aErrPermission;
    default:
      return aErrUnknown;
  }
}

// What a transfer in the current state would give; aErrNone only when ready.
aErr stateBlocksTransfer(const hyusb* usb) {
  switch (usb->state.load()) {
    case hyusbReady: return aErrNone;
    case hyusbClosed: return aErrConnection;
    case hyusbCreated:
    case hyusbOpened: return aErrNotReady;
    default: return aErrIO;
  }
}

int bulkOut(hyusb* usb, const uint8_t* data, size_t length, int* transferred) {
  *transferred = 0;
  return libusb_bulk_transfer(usb->handle, usb->outEndpoint, const_cast<uint8_t*>(data),
                              static_cast<int>(length), transferred, kHyusbOutTimeoutMs);
}

bool copySerialText(hyusb* usb, const char* serialText) {
  if (serialText == nullptr || strnlen(serialText, kHyusbSerialTextSize) >= kHyusbSerialTextSize) return false;
  snprintf(usb->serialNumber, sizeof usb->serialNumber, "%s", serialText);
  return true;
}

bool nodeHungUp(int fd) {
  struct pollfd node = {fd, POLLIN, 0};
  return poll(&node, 1, 0) > 0 && (node.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

void hyusb_set_node_prefix(const char* prefix) {
  std::lock_guard<std::mutex> lock(gNodePrefixMutex);
  gNodePrefix = prefix != nullptr ? prefix : kDefaultNodePrefix;
}

bool hyusb_node_path(uint32_t serialNumber, char* path, size_t capacity) {
  if (path == nullptr || capacity == 0) return false;
  std::lock_guard<std::mutex> lock(gNodePrefixMutex);
  int length = snprintf(path, capacity, "%s%08X", gNodePrefix.c_str(), serialNumber);
  return length > 0 && static_cast<size_t>(length) < capacity;
}

static bool nodePathForText(const char* serialText, char* path, size_t capacity) {
  std::lock_guard<std::mutex> lock(gNodePrefixMutex);
  int length = snprintf(path, capacity, "%s%s", gNodePrefix.c_str(), serialText);
  return length > 0 && static_cast<size_t>(length) < capacity;
}

hyusb* hyusb_create_usb(uint32_t useLibusb) {
  hyusb* usb = new (std::nothrow) hyusb{};
  if (usb == nullptr) return nullptr;
  usb->useLibusb = useLibusb;
  usb->fd = -1;
  usb->state = hyusbCreated;
  if (useLibusb == 1) {
    if (libusb_init(&usb->context) != 0) {
      delete usb;
      return nullptr;
    }
    usb->readPosition = usb->buffer;
  }
  return usb;
}

bool hyusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char path[4096];
  struct stat info;
  return hyusb_node_path(serialNumber, path, sizeof path) && stat(path, &info) == 0;
}

bool hyusb_is_halyard_descriptor(const struct libusb_device_descriptor* descriptor) {
  return descriptor != nullptr && descriptor->idVendor == kHalyardVendorId &&
         descriptor->idProduct < kHalyardProductIdLimit;
}

bool is_halyard_device(libusb_device* device) {
  struct libusb_device_descriptor descriptor;
  if (device == nullptr || libusb_get_device_descriptor(device, &descriptor) != 0) return false;
  return hyusb_is_halyard_descriptor(&descriptor);
}

bool hyusb_find_endpoints_in_config(const struct libusb_config_descriptor* config, int* interfaceNumber,
                                    uint8_t* inEndpoint, uint8_t* outEndpoint) {
  if (config == nullptr || interfaceNumber == nullptr || inEndpoint == nullptr || outEndpoint == nullptr) {
    return false;
  }
  bool foundInterface = false, foundIn = false, foundOut = false;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const struct libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const struct libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceClass != kHalyardInterfaceClass ||
          setting.bInterfaceSubClass != kHalyardInterfaceSubclass ||
          setting.bInterfaceProtocol != kHalyardInterfaceProtocol) {
        continue;
      }
      foundInterface = true;
      *interfaceNumber = setting.bInterfaceNumber;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const struct libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & kEndpointBulkOrInterrupt) == 0) continue;
        if (endpoint.bEndpointAddress & kEndpointDirectionIn) {
          *inEndpoint = endpoint.bEndpointAddress;
          foundIn = true;
        } else {
          *outEndpoint = endpoint.bEndpointAddress;
          foundOut = true;
        }
      }
    }
  }
  return foundInterface && foundIn && foundOut;
}

bool find_usb_endpoints(hyusb* usb) {
  if (usb == nullptr || usb->handle == nullptr) return false;
  struct libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(libusb_get_device(usb->handle), 0, &config) != 0) return false;
  int interfaceNumber = 0;
  uint8_t in = 0, out = 0;
  bool found = hyusb_find_endpoints_in_config(config, &interfaceNumber, &in, &out);
  libusb_free_config_descriptor(config);
  if (!found) return false;
  usb->interfaceNumber = interfaceNumber;
  usb->inEndpoint = in;
  usb->outEndpoint = out;
  return true;
}

aErr hyusb_open_halyard_USBlib_device(hyusb* usb, const char* serialText) {
  if (usb == nullptr || serialText == nullptr) return aErrParam;
  if (!usesLibusb(usb)) return aErrMode;
  if (usb->state == 0 || usb->context == nullptr) return aErrResource;
  if (usb->handle != nullptr) return aErrBusy;
  libusb_device** devices = nullptr;
  ssize_t count = libusb_get_device_list(usb->context, &devices);
  if (count < 0) return aErrNotFound;
  aErr result = aErrNone;
  usb->handle = openBySerial(devices, count, serialText);
  if (usb->handle == nullptr) {
    result = aErrNotFound;
  } else if (!copySerialText(usb, serialText)) {
    closeHandle(usb);
    result = aErrParam;
  } else {
    usb->state = hyusbOpened;
    if (!find_usb_endpoints(usb)) {
      closeHandle(usb);
      result = aErrConfiguration;
    } else {
      int claimed = libusb_claim_interface(usb->handle, usb->interfaceNumber);
      if (claimed == 0) {
        usb->state = hyusbReady;
        usb->readPosition = usb->buffer;
        usb->remaining = 0;
      } else {
        closeHandle(usb);
        result = claimError(claimed);
      }
    }
  }
  libusb_free_device_list(devices, 1);
  return result;
}

aErr hyusb_open_halyard_kernel_device(hyusb* usb, const char* serialText) {
  if (usb == nullptr || serialText == nullptr) return aErrParam;
  if (usesLibusb(usb)) return aErrMode;
  if (usb->fd >= 0) return aErrBusy;
  if (!copySerialText(usb, serialText)) return aErrParam;
  char path[4096];
  if (!nodePathForText(usb->serialNumber, path, sizeof path)) return aErrIO;
  // Non-blocking, so that a module that stops reading cannot hold a link thread.
  usb->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (usb->fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  usb->state = hyusbReady;
  return aErrNone;
}

aErr hyusb_open_halyard_device(hyusb* usb, const char* serialText) {
  if (usb == nullptr) return aErrParam;
  return usesLibusb(usb) ? hyusb_open_halyard_USBlib_device(usb, serialText)
                         : hyusb_open_halyard_kernel_device(usb, serialText);
}

aErr hyusb_write_to_USBlib_device(hyusb* usb, const uint8_t* data, size_t length) {
  if (usb == nullptr || data == nullptr) return aErrParam;
  if (!usesLibusb(usb)) return aErrMode;
  aErr blocked = stateBlocksTransfer(usb);
  if (blocked != aErrNone) return blocked;
  size_t sent = 0;
  // Only transfers that fail count against the bound, so a block of any length goes out in
  // chunks while a pipe that keeps failing still ends the write.
  int attempts = 0;
  bool failedTwice = false;
  while (sent < length && attempts < kHyusbMaxWriteAttempts) {
    size_t chunk = length - sent < kHyusbOutChunkSize ? length - sent : kHyusbOutChunkSize;
    int transferred = 0;
    int error = bulkOut(usb, data + sent, chunk, &transferred);
    sent += static_cast<size_t>(transferred);
    if (error == 0) continue;
    ++attempts;
    if (error == LIBUSB_ERROR_PIPE) {
      libusb_clear_halt(usb->handle, usb->outEndpoint);
      continue;
    }
    if (error == LIBUSB_ERROR_NO_DEVICE) {
      usb->state = hyusbTransferError;
      return aErrIO;  // gone: further attempts cannot succeed
    }
    size_t left = chunk - static_cast<size_t>(transferred);
    ++attempts;
    error = bulkOut(usb, data + sent, left, &transferred);
    sent += static_cast<size_t>(transferred);
    if (error != 0) {
      usb->state = hyusbTransferError;
      failedTwice = true;
    }
  }
  if (sent < length) return aErrWrite;
  return failedTwice ? aErrIO : aErrNone;
}

aErr hyusb_write_to_kernel_device(hyusb* usb, const uint8_t* data, size_t length) {
  if (usb == nullptr || data == nullptr) return aErrParam;
  if (usesLibusb(usb) || usb->fd < 0) return aErrMode;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kNodeWriteBudgetMs);
  size_t sent = 0;
  for (int calls = 0; sent < length && calls < kHyusbMaxNodeWrites; ++calls) {
    ssize_t count = write(usb->fd, data + sent, length - sent);
    if (count > 0) {
      sent += static_cast<size_t>(count);
      continue;
    }
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return aErrIO;
    int left = millisecondsLeft(deadline);
    if (left == 0) break;
    struct pollfd waiting = {usb->fd, POLLOUT, 0};
    poll(&waiting, 1, left);
  }
  return sent == length ? aErrNone : aErrIO;
}

aErr hyusb_write_to_device(hyusb* usb, const uint8_t* data, size_t length) {
  if (usb == nullptr) return aErrParam;
  return usesLibusb(usb) ? hyusb_write_to_USBlib_device(usb, data, length)
                         : hyusb_write_to_kernel_device(usb, data, length);
}

aErr hyusb_get_from_USBlib_device(hyusb* usb, uint8_t* byte) {
  if (usb == nullptr || byte == nullptr) return aErrParam;
  if (!usesLibusb(usb)) return aErrMode;
  if (usb->remaining > 0) {
    *byte = *usb->readPosition++;
    --usb->remaining;
    return aErrNone;
  }
  aErr blocked = stateBlocksTransfer(usb);
  if (blocked != aErrNone) return blocked;
  int received = 0;
  int error = libusb_bulk_transfer(usb->handle, usb->inEndpoint, usb->buffer, kHyusbInTransferSize, &received,
                                   kHyusbInTimeoutMs);
  if (error == LIBUSB_ERROR_PIPE) {
    libusb_clear_halt(usb->handle, usb->inEndpoint);
    return aErrNotReady;
  }
  if (error != 0 && error != LIBUSB_ERROR_TIMEOUT) {
    usb->state = hyusbTransferError;
    return aErrIO;
  }
  if (received <= 0) return aErrNotReady;
  usb->readPosition = usb->buffer;
  usb->remaining = static_cast<uint32_t>(received);
  *byte = *usb->readPosition++;
  --usb->remaining;
  return aErrNone;
}

aErr hyusb_get_from_kernel_device(hyusb* usb, uint8_t* byte) {
  if (usb == nullptr || byte == nullptr) return aErrParam;
  if (usesLibusb(usb) || usb->fd < 0) return aErrMode;
  ssize_t count = read(usb->fd, byte, 1);
  if (count == 1) return aErrNone;
  if (count < 0 && errno != EFAULT && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return aErrIO;
  // The driver answers an empty read with 0 bytes or a bad address; the same answers from a node
  // that has hung up (its module left the bus) are the end of the stream.
  return nodeHungUp(usb->fd) ? aErrIO : aErrNotReady;
}

aErr hyusb_get_from_device(hyusb* usb, uint8_t* byte) {
  if (usb == nullptr) return aErrParam;
  return usesLibusb(usb) ? hyusb_get_from_USBlib_device(usb, byte) : hyusb_get_from_kernel_device(usb, byte);
}

aErr hyusb_await_readable(hyusb* usb, unsigned timeoutMs) {
  if (usb == nullptr) return aErrParam;
  if (usesLibusb(usb)) return aErrNone;  // libusb reads carry their own time-out
  if (usb->fd < 0) return aErrMode;
  struct pollfd waiting = {usb->fd, POLLIN, 0};
  return poll(&waiting, 1, static_cast<int>(timeoutMs)) > 0 ? aErrNone : aErrNotReady;
}

aErr hyusb_close_halyard_USBlib_device(hyusb* usb) {
  if (usb == nullptr) return aErrParam;
  if (!usesLibusb(usb) || usb->handle == nullptr) return aErrMode;
  // Fails with LIBUSB_ERROR_NO_DEVICE when the module has left the bus; the handle is closed
  // either way, and the transport never writes to standard output.
  (void)libusb_release_interface(usb->handle, usb->interfaceNumber);
  closeHandle(usb);
  usb->remaining = 0;
  usb->readPosition = usb->buffer;
  return aErrNone;
}

aErr hyusb_close_halyard_kernel_device(hyusb* usb) {
  if (usb == nullptr) return aErrParam;
  if (usesLibusb(usb) || usb->fd < 0) return aErrMode;
  int failed = close(usb->fd);
  usb->fd = -1;
  usb->state = hyusbClosed;
  return failed != 0 ? aErrCancel : aErrNone;
}

aErr hyusb_close_halyard_device(hyusb* usb) {
  if (usb == nullptr) return aErrParam;
  return usesLibusb(usb) ? hyusb_close_halyard_USBlib_device(usb) : hyusb_close_halyard_kernel_device(usb);
}

aErr hyusb_destroy(hyusb** usb) {
  if (usb == nullptr || *usb == nullptr) return aErrParam;
  hyusb* device = *usb;
  if (device->handle != nullptr) (void)hyusb_close_halyard_USBlib_device(device);  // teardown
  if (device->fd >= 0) (void)hyusb_close_halyard_kernel_device(device);  // teardown
  if (device->context != nullptr) libusb_exit(device->context);
  delete device;
  *usb = nullptr;
  return aErrNone;
}
