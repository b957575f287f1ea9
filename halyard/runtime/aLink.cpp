#include "aLink.h"

#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "aDefs.h"
#include "aFile.h"
#include "aHex.h"
#include "aLinkInternal.h"
#include "aPacer.h"
#include "aPacketFifo.h"
#include "aRetry.h"
#include "aTime.h"

namespace {

constexpr uint16_t kLinkCheck = 0xCEED;
constexpr uint8_t kSyncPattern[kLinkSyncPatternLength] = {
    kLinkMagicAddress, 0x00, kLinkMagicAddress, 0x00, kLinkMagicAddress, 0x00,
    kLinkMagicAddress, 0x00, kLinkMagicAddress, 0x00, kLinkMagicAddress, 0x00};
constexpr uint8_t kHeartbeatCommand = 0x00;
constexpr uint8_t kHeartbeatLength = 2;
constexpr uint8_t kHeartbeatStep = 2;

constexpr std::chrono::microseconds kIdlePoll{5};
constexpr std::chrono::microseconds kWaitedLongEnough{1000};
constexpr unsigned long kIOErrorPauseMs = 100;
constexpr unsigned long kSyncSettleMs = 2;
constexpr unsigned long kWriterAwaitMs = 5;
constexpr unsigned long kWriterTimerSlackNs = 1000;
constexpr unsigned long kPacketPacingMs = 1;
// A caller waiting for a reply re-checks the link this often, so a link that stops running
// ends the wait promptly instead of at its time-out.
constexpr unsigned long kAwaitSliceMs = 20;
constexpr unsigned kResetAttempts = 20;
constexpr unsigned long kResetPauseMs = 100;
constexpr size_t kDefaultLogRecords = 64;

// Heartbeat states: 0 idle, 2 and 3 a heartbeat with b = 0 or 1 being answered.
constexpr uint32_t kHeartbeatIdle = 0;
constexpr uint32_t kHeartbeatAnsweringZero = 2;
constexpr uint32_t kHeartbeatAnsweringOne = 3;

// Synchronisation: after writing the pattern the engine waits for two zero-length frames from
// one address (address, 0, address, 0).
enum SyncState : uint32_t {
  syncIdle = 0,
  syncPatternNotWritten = 1,
  syncAwaitAddress = 2,
  syncAwaitFirstZero = 3,
  syncAwaitAddressAgain = 4,
  syncAwaitSecondZero = 5,
};

struct LogRecord {
  bool sent;
  uint8_t length;
  uint8_t bytes[kPacketMaxWire];
};

struct PacketLog {
  size_t capacity = kDefaultLogRecords;
  bool enabled = false;
  std::deque<LogRecord> records;
};

struct aLink {
  uint16_t check = kLinkCheck;
  uint32_t id = 0;
  std::atomic<uint8_t> running{0};
  std::atomic<linkStatus> status{linkInvalid};
  std::atomic<aPacketFifoRef> inbound{0};
  std::atomic<aPacketFifoRef> outbound{0};
  aPacket* assembly = nullptr;  // reader thread only while running
  std::thread readerThread;
  std::thread writerThread;
  std::atomic<std::thread::id> readerId{};
  std::atomic<std::thread::id> writerId{};
  aStreamRef stream = nullptr;  // get by the reader, write by the writer and by synchronisation
  std::atomic<uint32_t> heartbeatState{kHeartbeatIdle};
  std::atomic<aLinkHeartbeatObserver> heartbeatObserver{nullptr};
  uint32_t syncState = syncIdle;  // reader thread only
  uint8_t syncAddress = 0;
  uint32_t breaks = 0;  // the stream's discontinuities the reader has seen; reader thread only
  // Why the stream stopped carrying bytes (its read's failure), aErrNone while it carries them.
  std::atomic<aErr> lostCause{aErrNone};
  std::mutex packetLogMutex;
  std::unique_ptr<PacketLog> packetLog;
  // Recursive so that a filter may remove itself.
  std::recursive_mutex filterMutex;
  aLinkUserFilter userFilter = nullptr;
  void* userFilterRef = nullptr;
  // Keeps the writer's packets and the reader's synchronisation pattern from interleaving.
  std::mutex writeMutex;
};

using LinkPtr = std::shared_ptr<aLink>;

// A link is shared by every create for the same transport and address: type, identifier (USB
// and serial: serial number; TCP/IP: IPv4 address), TCP port and serial port name.
struct _linkEntry {
  uint32_t id;
  uint32_t identifier;
  uint32_t port;
  linkType type;
  std::string portName;
  int16_t uses;
  LinkPtr link;

  bool reaches(linkType otherType, uint32_t otherIdentifier, uint32_t otherPort, const std::string& otherName) const {
    return type == otherType && identifier == otherIdentifier && port == otherPort && portName == otherName;
  }
};

struct LinkTable {
  std::mutex mutex;
  std::list<_linkEntry> entries;  // new entries at the front
  uint32_t next = 1;
};

LinkTable& _links() {
  // Never destroyed: link threads may outlive static destruction at exit.
  static LinkTable* table = new LinkTable;
  return *table;
}

std::atomic<bool> gLiteralPolling{false};

using StreamOpener = std::function<aErr(aStreamRef*)>;

bool onLinkThread(const aLink& link) {
  std::thread::id self = std::this_thread::get_id();
  return self == link.readerId.load() || self == link.writerId.load();
}

std::list<_linkEntry>::iterator findById(LinkTable& table, uint32_t id) {
  for (auto entry = table.entries.begin(); entry != table.entries.end(); ++entry) {
    if (entry->id == id) return entry;
  }
  return table.entries.end();
}

LinkPtr lookUp(uint32_t id) {
  if (id == 0) return nullptr;
  LinkTable& table = _links();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto entry = findById(table, id);
  if (entry == table.entries.end() || !entry->link || entry->link->check != kLinkCheck) return nullptr;
  return entry->link;
}

// ---- packet log -------------------------------------------------------------------------------

void logPacket(aLink& link, const aPacket& packet, bool sent) {
  std::lock_guard<std::mutex> lock(link.packetLogMutex);
  if (!link.packetLog || !link.packetLog->enabled || link.packetLog->capacity == 0) return;
  LogRecord record = {sent, 0, {}};
  uint8_t length = packet.dataSize <= kPacketMaxData ? packet.dataSize : kPacketMaxData;
  record.bytes[0] = packet.address;
  record.bytes[1] = length;
  for (uint8_t i = 0; i < length; ++i) record.bytes[2 + i] = packet.data[i];
  record.length = static_cast<uint8_t>(length + 2);
  while (link.packetLog->records.size() >= link.packetLog->capacity) link.packetLog->records.pop_front();
  link.packetLog->records.push_back(record);
}

// ---- writing ----------------------------------------------------------------------------------

aErr sWritePacket(aLink& link, const aPacket& packet) {
  uint8_t bytes[kPacketMaxWire];
  uint8_t length = packet.dataSize <= kPacketMaxData ? packet.dataSize : kPacketMaxData;
  bytes[0] = packet.address;
  bytes[1] = length;
  for (uint8_t i = 0; i < length; ++i) bytes[2 + i] = packet.data[i];
  aErr result;
  {
    std::lock_guard<std::mutex> lock(link.writeMutex);
    result = aStream_Write(link.stream, bytes, length + 2u);
  }
  logPacket(link, packet, true);
  return result;
}

// Writes the queued outbound packets without pacing and returns how many were taken. Once a write
// fails the module is not taking bytes; the rest is dropped so that stopping stays bounded.
size_t sFlushOutbound(aLink& link) {
  size_t taken = 0;
  bool writing = true;
  // The packet is non-null where it is destroyed.
  for (aPacket* packet; (packet = aPacketFifo_Get(link.outbound)) != nullptr; (void)aPacket_Destroy(&packet)) {
    if (writing && sWritePacket(link, *packet) != aErrNone) writing = false;
    ++taken;
  }
  return taken;
}

void sWriterThread(aLink* link) {
  link->writerId = std::this_thread::get_id();
  // Packets start at least 1 ms apart, counted from the start of the previous write: a transport
  // whose write returns only once the module has answered (USB) has spent that time already, so
  // a pause after the write would only add to the round trip. The default 50 us timer slack would
  // stretch each of the pacer's sleeps, and so the time it spends watching the clock.
  prctl(PR_SET_TIMERSLACK, kWriterTimerSlackNs, 0, 0, 0);
  aPacer pacer{std::chrono::milliseconds(kPacketPacingMs)};
  while (link->running) {
    aPacket* packet = aPacketFifo_Await(link->outbound, kWriterAwaitMs);
    if (packet == nullptr) continue;
    pacer.awaitTurn();
    (void)sWritePacket(*link, *packet);  // write errors show as a missing reply
    (void)aPacket_Destroy(&packet);  // fails only for a null packet
  }
  // The link-stop frame and replies still queued go out without pacing.
  sFlushOutbound(*link);
}

// ---- reading ----------------------------------------------------------------------------------

void sStartSync(aLink& link) {
  aTime_MSSleep(kSyncSettleMs);
  link.status = linkSyncing;
  link.syncState = syncPatternNotWritten;
  (void)aPacket_Reset(link.assembly);  // fails only for an invalid packet
  aErr result;
  {
    std::lock_guard<std::mutex> lock(link.writeMutex);
    result = aStream_Write(link.stream, kSyncPattern, sizeof kSyncPattern);
  }
  if (result == aErrNone) link.syncState = syncAwaitAddress;
}

void sSyncByte(aLink& link, uint8_t byte) {
  switch (link.syncState) {
    case syncAwaitAddress:
      if (byte != 0 && (byte & 1) == 0) {
        link.syncAddress = byte;
        link.syncState = syncAwaitFirstZero;
      } else {
        link.syncState = syncPatternNotWritten;
      }
      break;
    case syncAwaitFirstZero:
      link.syncState = byte == 0 ? syncAwaitAddressAgain : syncPatternNotWritten;
      break;
    case syncAwaitAddressAgain:
      link.syncState = byte == link.syncAddress ? syncAwaitSecondZero : syncPatternNotWritten;
      break;
    case syncAwaitSecondZero:
      if (byte == 0) {
        link.syncState = syncIdle;
        link.status = linkRunning;
      } else {
        link.syncState = syncPatternNotWritten;
      }
      break;
    default:
      // Out of step (or the pattern could not be written): write the pattern again and let this
      // byte begin the new attempt. Restarting without it would leave every later answer one
      // byte out of phase, and the link would synchronise for ever.
      sStartSync(link);
      if (link.syncState == syncAwaitAddress) sSyncByte(link, byte);
      break;
  }
}

bool isHeartbeat(const aPacket& packet) {
  return packet.dataSize == kHeartbeatLength && packet.data[0] == kHeartbeatCommand;
}

void sAnswerHeartbeat(aLink& link, const aPacket& heartbeat) {
  uint8_t b = heartbeat.data[1];
  if (b == 0) link.heartbeatState = kHeartbeatAnsweringZero;
  if (b == 1) link.heartbeatState = kHeartbeatAnsweringOne;
  uint8_t replyData[kHeartbeatLength] = {kHeartbeatCommand, static_cast<uint8_t>(b + kHeartbeatStep)};
  aPacket* reply = aPacket_CreateWithData(heartbeat.address, kHeartbeatLength, replyData);
  if (reply == nullptr) return;
  (void)aPacketFifo_Put(link.outbound, reply);  // a full queue drops this beat; the module beats again
  (void)aPacket_Destroy(&reply);  // fails only for a null packet
  link.heartbeatState = kHeartbeatIdle;
  aLinkHeartbeatObserver observer = link.heartbeatObserver;
  if (observer != nullptr) observer((replyData[1] & 1) != 0);
}

bool consumedByUserFilter(aLink& link, const aPacket& packet) {
  std::lock_guard<std::recursive_mutex> lock(link.filterMutex);
  return link.userFilter != nullptr && link.userFilter(&packet, link.userFilterRef) == 1;
}

// Hands a complete packet on: user filter, heartbeat reply or the inbound queue.
aErr sInPipeProcess(aLink& link) {
  if (!aPacket_IsComplete(link.assembly)) return aErrNone;
  const aPacket& packet = *link.assembly;
  logPacket(link, packet, false);
  aErr result = aErrNone;
  if (!consumedByUserFilter(link, packet)) {
    uint32_t heartbeat = link.heartbeatState;
    if (isHeartbeat(packet) && (heartbeat == 0 || heartbeat == 1)) {
      sAnswerHeartbeat(link, packet);
    } else {
      result = aPacketFifo_Put(link.inbound, &packet);
    }
  }
  (void)aPacket_Reset(link.assembly);  // fails only for an invalid packet
  return result;
}

void sReceiveByte(aLink& link, uint8_t byte) {
  if (link.status == linkSyncing) {
    sSyncByte(link, byte);
    return;
  }
  if (aPacket_AddByte(link.assembly, byte) != aErrNone) {
    sStartSync(link);
    return;
  }
  if (sInPipeProcess(link) != aErrNone) link.status = linkError;
}

void sReaderBegin(aLink& link) {
  link.heartbeatState = kHeartbeatIdle;
  link.status = linkRunning;
  link.syncState = syncIdle;
  link.breaks = aStream_Discontinuities(link.stream);
  link.lostCause = aErrNone;
}

// One turn of the reader: reads one byte and handles it. Returns the read's result.
aErr sReaderTurn(aLink& link) {
  uint8_t byte;
  aErr result = aStream_Read(link.stream, &byte, 1);
  uint32_t breaksNow = aStream_Discontinuities(link.stream);
  if (breaksNow != link.breaks) {
    // The transport re-established its connection: a partly received frame ended with the old
    // connection and must not be completed by bytes from the new one.
    link.breaks = breaksNow;
    (void)aPacket_Reset(link.assembly);  // fails only for an invalid packet
  }
  if (result == aErrNone) {
    sReceiveByte(link, byte);
  } else if (result != aErrNotReady) {
    if (link.status != linkIOError) link.lostCause = result;
    link.status = linkIOError;
    (void)aPacket_Reset(link.assembly);  // fails only for an invalid packet
  }
  return result;
}

void sReaderThread(aLink* link) {
  link->readerId = std::this_thread::get_id();
  sReaderBegin(*link);
  while (link->running) {
    auto asked = std::chrono::steady_clock::now();
    aErr result = sReaderTurn(*link);
    if (result == aErrNotReady) {
      // A stream that waited for readiness has paused already; one that answered at once (it
      // cannot wait, or its wait was cut short) gets the short pause between polls.
      if (std::chrono::steady_clock::now() - asked < kWaitedLongEnough) std::this_thread::sleep_for(kIdlePoll);
    } else if (result != aErrNone) {
      aTime_MSSleep(kIOErrorPauseMs);
    }
  }
}

// ---- life cycle -------------------------------------------------------------------------------

aErr putControlFrame(aLink& link, uint8_t command) {
  aPacket* frame = aPacket_CreateWithData(kLinkControlAddress, 1, &command);
  if (frame == nullptr) return aErrMemory;
  aErr result = aPacketFifo_Put(link.outbound, frame);
  (void)aPacket_Destroy(&frame);  // fails only for a null packet
  return result;
}

// Gives the link its stream, queues and assembly packet. The stream is the link's from here on.
aErr sAttach(aLink& link, aStreamRef stream) {
  link.stream = stream;
  link.running = 0;
  link.status = stream != nullptr ? linkStopped : linkInvalid;
  link.inbound = aPacketFifo_Create();
  link.outbound = aPacketFifo_Create();
  link.assembly = aPacket_Create();
  link.heartbeatState = kHeartbeatIdle;
  link.syncState = syncIdle;
  link.syncAddress = 0;
  if (link.inbound == 0 || link.outbound == 0 || link.assembly == nullptr) return aErrMemory;
  return aErrNone;
}

aErr sStartLink(aLink& link) {
  if (link.running) return aErrNone;
  link.running = 1;
  link.status = linkStarting;
  link.heartbeatState = kHeartbeatIdle;
  (void)aStream_SetReadyWait(link.stream, gLiteralPolling ? 0 : kLinkReadyWaitMs);  // stream is valid here
  try {
    link.readerThread = std::thread(sReaderThread, &link);
    link.writerThread = std::thread(sWriterThread, &link);
  } catch (const std::system_error&) {
    return aErrResource;
  }
  return putControlFrame(link, kLinkStartCommand);
}

aErr sStopLink(aLink& link) {
  linkStatus status = link.status;
  if (status == linkStopped || status == linkStopping) return aErrNone;
  link.status = linkStopping;
  if (onLinkThread(link)) return aErrNone;
  // On a full queue the put would purge the stop frame along with the rest; drop the rest first
  // (the purge would have dropped it anyway) so the module still hears that the link stops.
  if (aPacketFifo_GetLength(link.outbound) >= kPacketFifoCapacity) {
    aPacketFifo_DrainPackets(link.outbound, drainAll, nullptr);
  }
  (void)putControlFrame(link, kLinkStopCommand);  // the link stops either way
  link.running = 0;
  aErr result = aErrNone;
  for (std::thread* thread : {&link.readerThread, &link.writerThread}) {
    if (!thread->joinable()) continue;
    try {
      thread->join();
    } catch (const std::system_error&) {
      result = aErrUnknown;
    }
  }
  link.readerId = std::thread::id();
  link.writerId = std::thread::id();
  (void)aPacket_Reset(link.assembly);  // fails only for an invalid packet
  link.status = linkStopped;
  link.heartbeatState = kHeartbeatIdle;
  return result;
}

// Frees what sAttach made; the threads must have ended.
aErr sRelease(aLink& link) {
  aPacketFifoRef inbound = link.inbound.exchange(0);
  aPacketFifoRef outbound = link.outbound.exchange(0);
  if (inbound != 0) (void)aPacketFifo_Destroy(&inbound);  // teardown: nothing left to report to
  if (outbound != 0) (void)aPacketFifo_Destroy(&outbound);  // teardown: nothing left to report to
  if (link.assembly != nullptr) (void)aPacket_Destroy(&link.assembly);  // fails only for a null packet
  aErr result = aErrNone;
  if (link.stream != nullptr) result = aStream_Destroy(&link.stream);
  return result;
}

aErr sTearDown(const LinkPtr& link) {
  aErr result = sStopLink(*link);
  {
    std::lock_guard<std::mutex> lock(link->packetLogMutex);
    link->packetLog.reset();
  }
  aErr released = sRelease(*link);
  link->check = 0;
  return result != aErrNone ? result : released;
}

// A link whose reader and writer do the threads' work on a caller's thread, when asked: it runs
// as a started link does once its reader has begun.
aErr sStartDriven(aLink& link) {
  link.running = 1;
  sReaderBegin(link);
  return putControlFrame(link, kLinkStartCommand);
}

uint32_t sCreateLink(uint32_t identifier, uint32_t port, linkType type, const std::string& portName,
                     const StreamOpener& open, aErr (*start)(aLink&) = sStartLink) {
  LinkTable& table = _links();
  std::lock_guard<std::mutex> lock(table.mutex);
  bool shareable = identifier != kLinkCallerStreamIdentifier;
  if (shareable) {
    for (_linkEntry& entry : table.entries) {
      if (entry.reaches(type, identifier, port, portName) && entry.uses < INT16_MAX) {
        ++entry.uses;
        return entry.id;
      }
    }
  }
  uint32_t id = table.next;
  table.next = table.next == UINT32_MAX ? 1 : table.next + 1;
  aStreamRef stream = nullptr;
  if (open(&stream) != aErrNone || stream == nullptr) return 0;
  LinkPtr link(new (std::nothrow) aLink);
  if (!link) {
    (void)aStream_Destroy(&stream);  // cleanup: the caller sees no link
    return 0;
  }
  link->id = id;
  aErr result = sAttach(*link, stream);
  table.entries.push_front({id, identifier, port, type, portName, 1, link});
  if (result == aErrNone) result = start(*link);
  if (result != aErrNone) {
    table.entries.pop_front();
    sTearDown(link);
    return 0;
  }
  return id;
}

StreamOpener callerStream(aStreamRef stream) {
  return [stream](aStreamRef* out) {
    *out = stream;
    return aErrNone;
  };
}

aErr openByType(linkType type, uint32_t identifier, uint32_t port, aStreamRef* stream) {
  switch (type) {
    case linkTypeUSB: return aStream_CreateUSB(identifier, stream);
    case linkTypeTCPIP: return aStream_CreateSocket(identifier, static_cast<uint16_t>(port & 0xFFFF), stream);
    default: return aErrParam;
  }
}

}  // namespace

// ---- public operations ------------------------------------------------------------------------

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
  return sCreateLink(serialNumber, 0, linkTypeUSB, "",
                     [&](aStreamRef* stream) { return aStream_CreateUSB(serialNumber, stream); });
}

uint32_t aLink_CreateTCPIP(uint32_t ipAddress, uint32_t port) {
  uint16_t tcpPort = static_cast<uint16_t>(port & 0xFFFF);
  return sCreateLink(ipAddress, tcpPort, linkTypeTCPIP, "",
                     [&](aStreamRef* stream) { return aStream_CreateSocket(ipAddress, tcpPort, stream); });
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
  int baudIndex = aSerial_BaudIndex(baudRate);
  if (baudIndex < 0 || portName == nullptr) return 0;
  return sCreateLink(serialNumber, 0, linkTypeSerial, portName, [&](aStreamRef* stream) {
    return aStream_CreateSerial(portName, baudIndex, false, aSerialBits8, aSerialStopBits1, stream);
  });
}

uint32_t aLink_Create(aStreamRef stream) {
  if (stream == nullptr) return 0;
  return sCreateLink(kLinkCallerStreamIdentifier, 0, linkTypeAny, "", callerStream(stream));
}

aErr aLink_Destroy(uint32_t* id) {
  if (id == nullptr) return aErrParam;
  uint32_t wanted = *id;
  *id = 0;
  LinkPtr link;
  {
    LinkTable& table = _links();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto entry = findById(table, wanted);
    if (wanted == 0 || entry == table.entries.end()) return aErrParam;
    if (--entry->uses > 0) return aErrNone;
    link = std::move(entry->link);
    table.entries.erase(entry);
  }
  if (!link) return aErrUnknown;
  if (onLinkThread(*link)) {
    // A link's own thread cannot join itself: a helper thread stops and frees the link.
    try {
      std::thread([link] { sTearDown(link); }).detach();
      return aErrNone;
    } catch (const std::system_error&) {
      link->running = 0;  // the threads end; the link's storage is left to the process
      return aErrResource;
    }
  }
  return sTearDown(link);
}

linkStatus aLink_GetStatus(uint32_t id) {
  LinkPtr link = lookUp(id);
  return link ? link->status.load() : linkInvalid;
}

aErr aLink_PutPacket(uint32_t id, const aPacket* packet) {
  LinkPtr link = lookUp(id);
  if (!link) return aErrParam;
  return aPacketFifo_Put(link->outbound, packet);
}

int64_t aLink_GetUnsentCount(uint32_t id) {
  LinkPtr link = lookUp(id);
  if (!link) return 0;
  int64_t length = aPacketFifo_GetLength(link->outbound);
  return length > 0 ? length : 0;
}

aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilter filter, const void* ref, unsigned long timeoutMs) {
  LinkPtr link = lookUp(id);
  if (!link || filter == nullptr) return nullptr;
  constexpr unsigned long kLongestWaitMs = 0x7FFFFFFFul;
  if (timeoutMs > kLongestWaitMs) timeoutMs = kLongestWaitMs;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (!link->running || link->status != linkRunning) return nullptr;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return nullptr;
    unsigned long slice = static_cast<unsigned long>(left.count());
    if (slice > kAwaitSliceMs) slice = kAwaitSliceMs;
    aPacket* packet = aPacketFifo_AwaitFirst(link->inbound, filter, ref, slice);
    if (packet != nullptr) return packet;
  }
}

aErr aLink_GetLostCause(uint32_t id) {
  LinkPtr link = lookUp(id);
  if (!link) return aErrConnection;
  return link->status == linkIOError ? link->lostCause.load() : aErrNone;
}

unsigned aLink_DrainPackets(uint32_t id, aPacketFilter filter, const void* ref) {
  LinkPtr link = lookUp(id);
  return link ? aPacketFifo_DrainPackets(link->inbound, filter, ref) : 0;
}

aPacket* aLink_GetPacket(uint32_t id) {
  LinkPtr link = lookUp(id);
  return link ? aPacketFifo_Get(link->inbound) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t id, unsigned long timeoutMs) {
  LinkPtr link = lookUp(id);
  return link ? aPacketFifo_Await(link->inbound, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t id, aPacketFilter filter, const void* ref) {
  LinkPtr link = lookUp(id);
  return link ? aPacketFifo_GetFirst(link->inbound, filter, ref) : nullptr;
}

aErr aLink_InstallUserPacketFilter(uint32_t id, aLinkUserFilter filter, void* ref) {
  LinkPtr link = lookUp(id);
  if (!link) return aErrParam;
  std::lock_guard<std::recursive_mutex> lock(link->filterMutex);
  link->userFilter = filter;
  link->userFilterRef = filter != nullptr ? ref : nullptr;
  return aErrNone;
}

aErr aLink_SetHeartbeatObserver(uint32_t id, aLinkHeartbeatObserver observer) {
  LinkPtr link = lookUp(id);
  if (!link) return aErrParam;
  link->heartbeatObserver = observer;
  return aErrNone;
}

aErr aLink_Reset(uint32_t id) {
  LinkTable& table = _links();
  std::unique_lock<std::mutex> lock(table.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return aErrBusy;
  auto entry = findById(table, id);
  if (id == 0 || entry == table.entries.end() || !entry->link) return aErrParam;
  if (entry->type != linkTypeUSB && entry->type != linkTypeTCPIP) return aErrParam;
  aLink& link = *entry->link;
  (void)sStopLink(link);  // the reopen below decides the result
  (void)sRelease(link);  // the reopen below decides the result
  aStreamRef stream = nullptr;
  aErr result = RetryBounded(
      kResetAttempts, kResetPauseMs,
      [&](unsigned) { return openByType(entry->type, entry->identifier, entry->port, &stream); },
      RetryPause::Between);
  if (result != aErrNone) {
    link.status = linkInvalid;
    return result;
  }
  result = sAttach(link, stream);
  if (result != aErrNone) return result;
  return sStartLink(link);
}

aErr aLink_PacketDebug_SetLogSize(uint32_t id, size_t records) {
  LinkPtr link = lookUp(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> lock(link->packetLogMutex);
  if (!link->packetLog) link->packetLog.reset(new (std::nothrow) PacketLog);
  if (!link->packetLog) return aErrMemory;
  link->packetLog->capacity = records;
  while (link->packetLog->records.size() > records) link->packetLog->records.pop_front();
  return aErrNone;
}

static aErr setLogging(uint32_t id, bool enabled) {
  LinkPtr link = lookUp(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> lock(link->packetLogMutex);
  if (!link->packetLog) link->packetLog.reset(new (std::nothrow) PacketLog);
  if (!link->packetLog) return aErrMemory;
  link->packetLog->enabled = enabled;
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t id) { return setLogging(id, true); }

aErr aLink_PacketDebug_Disable(uint32_t id) { return setLogging(id, false); }

aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* buffer, size_t capacity, size_t* length, bool* sent) {
  if (length == nullptr || (buffer == nullptr && capacity > 0)) return aErrParam;
  *length = 0;
  LinkPtr link = lookUp(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> lock(link->packetLogMutex);
  if (!link->packetLog || link->packetLog->records.empty()) return aErrNotFound;
  const LogRecord& record = link->packetLog->records.front();
  *length = record.length;
  if (capacity < record.length) return aErrOverrun;
  for (uint8_t i = 0; i < record.length; ++i) buffer[i] = record.bytes[i];
  if (sent != nullptr) *sent = record.sent;
  link->packetLog->records.pop_front();
  return aErrNone;
}

aErr aLink_PacketDebug_Write(uint32_t id, const char* path) {
  LinkPtr link = lookUp(id);
  if (!link || path == nullptr) return aErrParam;
  std::deque<LogRecord> records;
  {
    std::lock_guard<std::mutex> lock(link->packetLogMutex);
    if (link->packetLog) records.swap(link->packetLog->records);
  }
  aFileRef file = aFile_Open(path, aFileModeAppend);
  if (file == nullptr) return aErrIO;
  aErr result = aErrNone;
  for (const LogRecord& record : records) {
    std::string line = record.sent ? ">" : "<";
    if (record.length > 0) line += " " + aHex_Bytes(record.bytes, record.length);
    line += '\n';
    size_t written = 0;
    if (result == aErrNone) result = aFile_Write(file, line.data(), line.size(), &written);
  }
  aErr closed = aFile_Close(&file);
  return result != aErrNone ? result : closed;
}

// ---- internal ---------------------------------------------------------------------------------

void aLink_SetLiteralPolling(bool literal) { gLiteralPolling = literal; }

size_t aLink_TableSize() {
  LinkTable& table = _links();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.entries.size();
}

uint32_t aLink_CreateDriven(aStreamRef stream) {
  if (stream == nullptr) return 0;
  return sCreateLink(kLinkCallerStreamIdentifier, 0, linkTypeAny, "", callerStream(stream), sStartDriven);
}

size_t aLink_DriveReader(uint32_t id) {
  LinkPtr link = lookUp(id);
  if (!link || link->readerThread.joinable() || !link->running) return 0;
  size_t bytes = 0;
  while (sReaderTurn(*link) == aErrNone) ++bytes;
  return bytes;
}

size_t aLink_DriveWriter(uint32_t id) {
  LinkPtr link = lookUp(id);
  if (!link || link->writerThread.joinable() || !link->running) return 0;
  return sFlushOutbound(*link);
}

int aLink_UseCount(uint32_t id) {
  LinkTable& table = _links();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto entry = findById(table, id);
  return entry == table.entries.end() ? 0 : entry->uses;
}
