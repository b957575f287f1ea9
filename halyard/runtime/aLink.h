#pragma once
// The link engine: one byte stream to a module turned into an inbound and an outbound packet
// queue, served by a reader and a writer thread per link. Links are named by identifiers from a
// process-wide table (0 is never an identifier) and shared by use count.
#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"

typedef uint32_t linkStatus;
enum : linkStatus {
  linkStopped = 0,
  linkStarting = 1,
  linkRunning = 2,
  linkStopping = 3,
  linkSyncing = 4,
  linkInvalid = 5,
  linkIOError = 6,
  linkError = 8,
};

// Frames besides packets, all sent by the host.
constexpr uint8_t kLinkMagicAddress = 0xAD;    // synchronisation pattern and magic query
constexpr uint8_t kLinkControlAddress = 0xAF;  // link start and stop
constexpr uint8_t kLinkStartCommand = 0x01;
constexpr uint8_t kLinkStopCommand = 0x00;
constexpr size_t kLinkSyncPatternLength = 12;
constexpr uint32_t kLinkCallerStreamIdentifier = 0xFFFFFFFF;

// Sees every received packet before the engine does; a result of exactly 1 consumes it. Runs on
// the reader thread and must not block.
typedef uint8_t (*aLinkUserFilter)(const aPacket* packet, void* ref);
// Called on the reader thread after each heartbeat reply with the low bit of the reply byte.
typedef void (*aLinkHeartbeatObserver)(bool state);

// Identifier of a running link, or 0. An existing link to the same module (same serial number,
// or for TCP/IP the same address and port) gains a use instead.
uint32_t aLink_CreateUSB(uint32_t serialNumber);
uint32_t aLink_CreateTCPIP(uint32_t ipAddress, uint32_t port);  // address in network byte order
// Baud rates 2400, 4800, 9600, 19200, 38400, 57600, 115200 and 230400 only.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// A link over a caller's stream, which it owns from then on (also when the create fails). Such
// links are never shared.
uint32_t aLink_Create(aStreamRef stream);
// Drops one use; the last use stops and frees the link. Zeroes the caller's id in every case.
[[nodiscard]] aErr aLink_Destroy(uint32_t* id);
linkStatus aLink_GetStatus(uint32_t id);
// Why the link's stream stopped carrying bytes: the failure of its last read once the link is in
// linkIOError (a TCP connection reset whose reconnect was refused, a USB device gone), aErrNone
// otherwise, aErrConnection for an unknown link.
aErr aLink_GetLostCause(uint32_t id);

[[nodiscard]] aErr aLink_PutPacket(uint32_t id, const aPacket* packet);
// Packets put on the outbound queue that the writer has not sent yet; 0 for an unknown link.
int64_t aLink_GetUnsentCount(uint32_t id);
// The first inbound packet the filter accepts, or null once the time-out has passed or as soon
// as the link is not running. The caller destroys the packet.
aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilter filter, const void* ref, unsigned long timeoutMs);
unsigned aLink_DrainPackets(uint32_t id, aPacketFilter filter, const void* ref);
aPacket* aLink_GetPacket(uint32_t id);
aPacket* aLink_AwaitPacket(uint32_t id, unsigned long timeoutMs);
aPacket* aLink_GetFirst(uint32_t id, aPacketFilter filter, const void* ref);

// Null filter clears it. Once this returns, the previous filter is no longer running nor called.
[[nodiscard]] aErr aLink_InstallUserPacketFilter(uint32_t id, aLinkUserFilter filter, void* ref);
[[nodiscard]] aErr aLink_SetHeartbeatObserver(uint32_t id, aLinkHeartbeatObserver observer);
// Stops the link, reopens its USB or TCP/IP stream (20 attempts, 100 ms apart) and starts it
// again. aErrBusy when the link table is in use, aErrParam for other transports.
[[nodiscard]] aErr aLink_Reset(uint32_t id);

// Packet debug log: the bytes of every packet received and sent, oldest first, in a log that
// keeps the latest `records` packets (64 by default). Off until enabled.
[[nodiscard]] aErr aLink_PacketDebug_SetLogSize(uint32_t id, size_t records);
[[nodiscard]] aErr aLink_PacketDebug_Enable(uint32_t id);
[[nodiscard]] aErr aLink_PacketDebug_Disable(uint32_t id);
// Takes the oldest record: its wire bytes (address, length, data) and whether it was sent.
// aErrNotFound when the log is empty, aErrOverrun when the buffer is too small (length then
// holds the size needed and the record stays).
[[nodiscard]] aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* buffer, size_t capacity, size_t* length, bool* sent);
// Appends the log to a text file, one line per packet ("> " sent, "< " received, then the bytes
// in hexadecimal), and empties it.
[[nodiscard]] aErr aLink_PacketDebug_Write(uint32_t id, const char* path);
