#include "aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>
#include <utility>

#include "aError.h"
#include "aRetry.h"
#include "aTime.h"

namespace {

struct FindReference {
  linkSpec* spec;
};

thread_local std::string lastFailure;

void noteFailure(std::string what, const char* reason) { lastFailure = std::move(what) + ": " + reason; }

void sTCPIPCleanup(int socketFd) {
  if (socketFd >= 0) close(socketFd);
}

uint32_t SockAddrToUint32(const struct sockaddr* address) {
  if (address == nullptr || address->sa_family != AF_INET) return 0;
  return ntohl(reinterpret_cast<const struct sockaddr_in*>(address)->sin_addr.s_addr);
}

bool setReceiveTimeout(int socketFd, unsigned ms) {
  struct timeval timeout {};
  timeout.tv_sec = ms / 1000;
  timeout.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return setsockopt(socketFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

int sTCPIPSetupListener() {
  int listener = socket(AF_INET, SOCK_DGRAM, 0);
  if (listener < 0) {
    noteFailure("no UDP socket for the discovery replies", strerror(errno));
    return -1;
  }
  int on = 1;
  struct sockaddr_in any {};
  any.sin_family = AF_INET;
  any.sin_port = htons(kDiscoveryReplyPort);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      !setReceiveTimeout(listener, kDiscoveryReplyTimeoutMs) ||
      bind(listener, reinterpret_cast<struct sockaddr*>(&any), sizeof any) != 0) {
    noteFailure("UDP port " + std::to_string(kDiscoveryReplyPort) + " cannot be bound", strerror(errno));
    sTCPIPCleanup(listener);
    return -1;
  }
  return listener;
}

// Sends one request out of the interface with the given address (host byte order).
bool sTCPIPMultiCast(uint32_t interfaceAddress) {
  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  if (sender < 0) return false;
  int on = 1;
  struct in_addr outgoing {};
  outgoing.s_addr = htonl(interfaceAddress);
  struct sockaddr_in group {};
  group.sin_family = AF_INET;
  group.sin_port = htons(kDiscoveryRequestPort);
  inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);
  uint8_t request[kDiscoveryDatagramSize] = {1};
  bool sent = setsockopt(sender, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0 &&
              sendto(sender, request, sizeof request, 0, reinterpret_cast<struct sockaddr*>(&group),
                     sizeof group) == static_cast<ssize_t>(sizeof request);
  sTCPIPCleanup(sender);
  return sent;
}

bool eligibleInterfaceAddress(uint32_t address) {
  return address != 0 && address != INADDR_LOOPBACK;
}

// One request per eligible IPv4 interface address; true when at least one left.
bool sendRequests() {
  struct ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return sTCPIPMultiCast(0);
  bool anySent = false;
  for (struct ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    uint32_t address = SockAddrToUint32(entry->ifa_addr);
    if (eligibleInterfaceAddress(address) && sTCPIPMultiCast(address)) anySent = true;
  }
  freeifaddrs(interfaces);
  return anySent;
}

// Bytes 4-7 of a discovery reply, least significant first.
uint32_t replySerialNumber(const uint8_t* reply) {
  return static_cast<uint32_t>(reply[4]) | (static_cast<uint32_t>(reply[5]) << 8) |
         (static_cast<uint32_t>(reply[6]) << 16) | (static_cast<uint32_t>(reply[7]) << 24);
}

void countModule(uint8_t* count) {
  if (*count < UINT8_MAX) ++*count;
}

// Waits for the next reply, at most the reply time-out and never past the collection limit.
// The length received, or -1 once nothing more is to be collected.
ssize_t receiveReply(int listener, uint64_t limit, uint8_t* reply, struct sockaddr_in* source) {
  for (;;) {
    uint64_t now = aTime_GetMSTicks();
    if (now >= limit) return -1;
    uint64_t left = limit - now;
    if (!setReceiveTimeout(listener, left < kDiscoveryReplyTimeoutMs ? static_cast<unsigned>(left)
                                                                      : kDiscoveryReplyTimeoutMs)) {
      return -1;
    }
    socklen_t sourceLength = sizeof *source;
    ssize_t length = recvfrom(listener, reply, kDiscoveryDatagramSize, 0,
                              reinterpret_cast<struct sockaddr*>(source), &sourceLength);
    if (length >= 0 || errno != EINTR) return length;
  }
}

// Replies come to one fixed UDP port, and the kernel hands each to only one of the sockets
// bound to it: two discoveries listening at once would each see some of the other's replies and
// miss some of their own. So the whole window (bind, requests, collection) is held by one
// discovery at a time per network stack. The lock is an abstract Unix socket name: it lives in
// the same network namespace as the port it guards, needs no file or permission, and is freed by
// the kernel when its holder closes it or dies.
class DiscoveryWindowLock {
 public:
  DiscoveryWindowLock() {
    // Past the wait (several discoveries queued behind a long window) this one goes ahead
    // unlocked rather than hang; any other failure leaves nothing to wait for.
    (void)RetryUntil(kDiscoveryLockWaitMs, kDiscoveryLockPollMs, [this](unsigned) {
      fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (fd_ < 0 || bindName()) return aErrNone;
      int error = errno;
      close(fd_);
      fd_ = -1;
      return error == EADDRINUSE ? aErrBusy : aErrNone;
    });
  }
  ~DiscoveryWindowLock() {
    if (fd_ >= 0) close(fd_);
  }
  DiscoveryWindowLock(const DiscoveryWindowLock&) = delete;
  DiscoveryWindowLock& operator=(const DiscoveryWindowLock&) = delete;

 private:
  bool bindName() {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    // sun_path[0] stays 0: an abstract name.
    size_t length = strnlen(kDiscoveryLockName, sizeof address.sun_path - 2);
    memcpy(address.sun_path + 1, kDiscoveryLockName, length);
    socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + length);
    return bind(fd_, reinterpret_cast<struct sockaddr*>(&address), size) == 0;
  }

  int fd_ = -1;
};

// A reply must reach the serial number (bytes 4-7); shorter datagrams name no module.
constexpr unsigned kMinimumReplyLength = 8;
// Distinct modules one discovery keeps; the count it reports is 8-bit anyway.
constexpr size_t kMaximumModules = 255;

uint8_t enumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference) {
  DiscoveryWindowLock window;
  int listener = sTCPIPSetupListener();
  bool sent = sendRequests();
  uint64_t limit = aTime_GetMSTicks() + kDiscoveryCollectLimitMs;
  uint8_t count = 0;
  bool goOn = true;
  // Every module is offered once, however often it answers (or someone answers for it).
  std::unordered_set<uint32_t> offered;
  while (listener >= 0 && sent && goOn) {
    uint8_t reply[kDiscoveryDatagramSize];
    struct sockaddr_in source {};
    ssize_t length = receiveReply(listener, limit, reply, &source);
    if (length < 0) break;
    if (static_cast<size_t>(length) < kMinimumReplyLength) continue;
    uint32_t serial = replySerialNumber(reply);
    if (offered.count(serial) != 0 || offered.size() >= kMaximumModules) continue;
    offered.insert(serial);
    goOn = aDiscovery_OfferReply(reply, static_cast<unsigned>(length), source.sin_addr.s_addr, callback, reference,
                                 &count);
  }
  sTCPIPCleanup(listener);
  return count;
}

bool is_halyard_device(const struct libusb_device_descriptor& descriptor) {
  return descriptor.idVendor == kHalyardVendorId && descriptor.idProduct < kHalyardProductIdLimit;
}

// The module's 8-character serial number string, or false.
bool readSerialText(libusb_device_handle* handle, libusb_device* device, uint32_t* serial) {
  struct libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
  unsigned char text[32] = {0};
  int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text - 1);
  return aDiscovery_ParseSerialText(reinterpret_cast<const char*>(text), length, serial);
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serial, uint16_t productId) {
  spec->serialNumber = serial;
  spec->t.usb.usbId = serial;
  spec->model = productId & 0xFFu;
  spec->moduleAddress = 0;
  spec->router = 0;
  spec->routerSerialNumber = 0;
}

// Offers one USB device to the callback; false when the callback asked to stop.
bool offerUSBDevice(libusb_device* device, aDiscoveryModuleFoundProc callback, void* reference, uint8_t* count) {
  struct libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != 0 || !is_halyard_device(descriptor)) return true;
  libusb_device_handle* handle = nullptr;
  if (libusb_open(device, &handle) != 0) return true;
  bool goOn = true;
  uint32_t serial = 0;
  if (readSerialText(handle, device, &serial)) {
    linkSpec* spec = aLinkSpec_Create(linkTypeUSB);
    if (spec != nullptr) {
      sCopyToUSBLinkspec(spec, serial, descriptor.idProduct);
      bool found = false;
      goOn = callback(spec, &found, reference);
      if (found) countModule(count);
      aLinkSpec_Destroy(&spec);
    }
  }
  libusb_close(handle);
  return goOn;
}

uint8_t enumerateUSB(aDiscoveryModuleFoundProc callback, void* reference) {
  libusb_context* context = nullptr;
  int initialised = libusb_init(&context);
  if (initialised != 0) {
    noteFailure("USB cannot be used", libusb_strerror(static_cast<libusb_error>(initialised)));
    return 0;
  }
  libusb_device** devices = nullptr;
  ssize_t deviceCount = libusb_get_device_list(context, &devices);
  if (deviceCount < 0) noteFailure("the USB devices cannot be listed", libusb_strerror(static_cast<libusb_error>(deviceCount)));
  uint8_t count = 0;
  for (ssize_t i = 0; i < deviceCount; ++i) {
    if (!offerUSBDevice(devices[i], callback, reference, &count)) break;
  }
  if (deviceCount >= 0) libusb_free_device_list(devices, 1);
  libusb_exit(context);
  return count;
}

bool cbSNCallback(const linkSpec* spec, bool* found, void* reference) {
  linkSpec* wanted = static_cast<FindReference*>(reference)->spec;
  if (spec->serialNumber != wanted->serialNumber) return true;
  *wanted = *spec;
  *found = true;
  return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* found, void* reference) {
  if (spec->serialNumber == 0) return true;
  *static_cast<FindReference*>(reference)->spec = *spec;
  *found = true;
  return false;
}

linkSpec* findWith(linkType type, uint32_t serialNumber, aDiscoveryModuleFoundProc callback) {
  linkSpec* spec = aLinkSpec_Create(type);
  if (spec == nullptr) return nullptr;
  spec->serialNumber = serialNumber;
  FindReference reference{spec};
  if (aDiscovery_EnumerateModules(type, callback, &reference) == 0) aLinkSpec_Destroy(&spec);
  return spec;
}

}  // namespace

void aDiscovery_FillFromReply(linkSpec* spec, const uint8_t* reply, unsigned length, uint32_t sourceAddress) {
  uint8_t bytes[kDiscoveryDatagramSize] = {0};
  bytes[12] = 0xFF;
  if (reply != nullptr && length > 0) memcpy(bytes, reply, length < kDiscoveryDatagramSize ? length : kDiscoveryDatagramSize);
  uint32_t serial = replySerialNumber(bytes);
  spec->type = linkTypeTCPIP;
  spec->serialNumber = serial;
  spec->moduleAddress = bytes[1];
  spec->router = bytes[1];
  spec->routerSerialNumber = serial;
  spec->model = bytes[12];
  spec->t.ip.ipAddress = sourceAddress;
  spec->t.ip.ipPort = static_cast<uint32_t>(bytes[2]) | (static_cast<uint32_t>(bytes[3]) << 8);
}

bool aDiscovery_OfferReply(const uint8_t* reply, unsigned length, uint32_t sourceAddress,
                           aDiscoveryModuleFoundProc callback, void* reference, uint8_t* count) {
  linkSpec* spec = aLinkSpec_Create(linkTypeTCPIP);
  if (spec == nullptr) return true;
  aDiscovery_FillFromReply(spec, reply, length, sourceAddress);
  bool found = false;
  bool goOn = callback(spec, &found, reference);
  if (found) countModule(count);
  aLinkSpec_Destroy(&spec);
  return goOn;
}

bool aDiscovery_ParseSerialText(const char* text, int length, uint32_t* serial) {
  constexpr int kSerialDigits = 8;
  if (text == nullptr || serial == nullptr || length != kSerialDigits) return false;
  uint32_t value = 0;
  for (int i = 0; i < kSerialDigits; ++i) {
    int digit = hexDigitValue(text[i]);
    // A serial string that is not eight hexadecimal digits cannot name a module.
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  *serial = value;
  return true;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference) {
  lastFailure.clear();
  if (callback == nullptr) return 0;
  if (type == linkTypeUSB) return enumerateUSB(callback, reference);
  if (type == linkTypeTCPIP) return enumerateTCPIP(callback, reference);
  return 0;
}

linkSpec* aDiscovery_FindModule(linkType type, unsigned int serialNumber) {
  return findWith(type, serialNumber, cbSNCallback);
}

linkSpec* aDiscovery_FindFirstModule(linkType type) { return findWith(type, 0, cbFirstCallback); }

std::string aDiscovery_LastFailure() { return lastFailure; }
