#pragma once
#include <cstdint>
#include <string>

#include "aLinkSpec.h"

// Called for every module found; sets *found to count it and returns true to continue.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* found, void* reference);

// UDP discovery on TCP/IP.
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr unsigned kDiscoveryDatagramSize = 16;
constexpr unsigned kDiscoveryReplyTimeoutMs = 2000;
// Replies are collected at most this long after the requests left, however often they come.
constexpr unsigned kDiscoveryCollectLimitMs = 10000;
// One TCP/IP discovery at a time per network namespace (the reply port is shared): a second
// waits for the first's window, at most this long, polling every kDiscoveryLockPollMs.
constexpr unsigned kDiscoveryLockWaitMs = 30000;
constexpr unsigned kDiscoveryLockPollMs = 20;
constexpr const char* kDiscoveryLockName = "tessaron-halyard-discovery-9889";

// Number of modules the callback counted; types other than USB and TCP/IP give 0 at once.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference);
// Why the last enumeration on this thread could not look at all, with the system's reason ("UDP
// port 9889 cannot be bound: Address already in use", "USB cannot be opened: Access denied");
// empty when it could look (finding nothing is no failure).
std::string aDiscovery_LastFailure();
// The first module of that serial number (free with aLinkSpec_Destroy), or null.
linkSpec* aDiscovery_FindModule(linkType type, unsigned int serialNumber);
// The first module with a non-zero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type);

// Fills a TCP/IP record from a reply datagram (at most 16 bytes used; missing bytes are 0, a
// missing model byte is 0xFF) and its source address (network byte order).
void aDiscovery_FillFromReply(linkSpec* spec, const uint8_t* reply, unsigned length, uint32_t sourceAddress);

// One reply datagram of the TCP/IP discovery window: the module it describes is offered to the
// callback and counted in *count (which stops at 255) when the callback takes it. Returns the
// callback's answer: false when it asked to stop.
bool aDiscovery_OfferReply(const uint8_t* reply, unsigned length, uint32_t sourceAddress,
                           aDiscoveryModuleFoundProc callback, void* reference, uint8_t* count);

// The serial number named by a USB serial-number string: exactly 8 hexadecimal digits (either
// case); false for any other text.
[[nodiscard]] bool aDiscovery_ParseSerialText(const char* text, int length, uint32_t* serial);
