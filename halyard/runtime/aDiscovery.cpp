#include "aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "aError.h"
#include "aTime.h"

namespace {

struct FindReference {
  linkSpec* spec;
};

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
  if (listener < 0) return -1;
  int on = 1;
  struct sockaddr_in any {};
  any.sin_family = AF_INET;
  any.sin_port = htons(kDiscoveryReplyPort);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      !setReceiveTimeout(listener, kDiscoveryReplyTimeoutMs) ||
      bind(listener, reinterpret_cast<struct sockaddr*>(&any), sizeof any) != 0) {
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

uint8_t enumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference) {
  int listener = sTCPIPSetupListener();
  bool sent = sendRequests();
  uint64_t limit = aTime_GetMSTicks() + kDiscoveryCollectLimitMs;
  uint8_t count = 0;
  bool goOn = true;
  while (listener >= 0 && sent && goOn) {
    uint8_t reply[kDiscoveryDatagramSize];
    struct sockaddr_in source {};
    ssize_t length = receiveReply(listener, limit, reply, &source);
    if (length < 0) break;
    linkSpec* spec = aLinkSpec_Create(linkTypeTCPIP);
    if (spec == nullptr) continue;
    aDiscovery_FillFromReply(spec, reply, static_cast<unsigned>(length), source.sin_addr.s_addr);
    bool found = false;
    goOn = callback(spec, &found, reference);
    if (found) countModule(&count);
    aLinkSpec_Destroy(&spec);
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
  if (libusb_init(&context) != 0) return 0;
  libusb_device** devices = nullptr;
  ssize_t deviceCount = libusb_get_device_list(context, &devices);
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
  uint32_t serial = static_cast<uint32_t>(bytes[4]) | (static_cast<uint32_t>(bytes[5]) << 8) |
                    (static_cast<uint32_t>(bytes[6]) << 16) | (static_cast<uint32_t>(bytes[7]) << 24);
  spec->type = linkTypeTCPIP;
  spec->serialNumber = serial;
  spec->moduleAddress = bytes[1];
  spec->router = bytes[1];
  spec->routerSerialNumber = serial;
  spec->model = bytes[12];
  spec->t.ip.ipAddress = sourceAddress;
  spec->t.ip.ipPort = static_cast<uint32_t>(bytes[2]) | (static_cast<uint32_t>(bytes[3]) << 8);
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
  if (callback == nullptr) return 0;
  if (type == linkTypeUSB) return enumerateUSB(callback, reference);
  if (type == linkTypeTCPIP) return enumerateTCPIP(callback, reference);
  return 0;
}

linkSpec* aDiscovery_FindModule(linkType type, unsigned int serialNumber) {
  return findWith(type, serialNumber, cbSNCallback);
}

linkSpec* aDiscovery_FindFirstModule(linkType type) { return findWith(type, 0, cbFirstCallback); }
