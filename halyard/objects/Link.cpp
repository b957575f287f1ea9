#include "Link.h"

#include <cstring>
#include <new>
#include <string>

#include "aDiscovery.h"
#include "aRetry.h"
#include "aTime.h"

namespace Tessaron {
namespace Halyard {

namespace {

constexpr size_t kLinkNameLimit = 1024;
// Pause between the packets of one byte block, so that a long block cannot fill the outbound
// queue faster than the writer thread (1 ms per packet) empties it: a full queue is purged.
constexpr unsigned long kBlockPacketPauseMs = 2;

bool validModuleAddress(uint8_t address) { return address != 0 && (address & 1) == 0; }

// What a link in this state means to connect(): aErrNotReady while it is still coming up.
aErr connectOutcome(linkStatus status) {
  switch (status) {
    case linkRunning:
      return aErrNone;
    case linkStopped:
    case linkStarting:
    case linkSyncing:
      return aErrNotReady;
    case linkStopping:
      return aErrBusy;
    case linkInvalid:
    case linkIOError:
    case linkError:
      return aErrConnection;
    default:
      return aErrDuplicate;
  }
}

// Puts one packet on the engine link's outbound queue.
aErr putPacket(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t* data) {
  aPacket* packet = aPacket_CreateWithData(address, length, data);
  if (packet == nullptr) return aErrResource;
  aErr result = aLink_PutPacket(linkId, packet);
  (void)aPacket_Destroy(&packet);  // fails only for a null packet
  return result;
}

uint8_t encodeHeader(const uei& message, uint8_t* data) {
  data[0] = message.command;
  data[1] = message.option;
  data[2] = message.specifier;
  return kUEIHeaderLength;
}

// Appends the numeric value of a record of type 0, 1, 2 or 4; false for any other type.
bool encodeValue(const uei& message, uint8_t* data, uint8_t* length) {
  switch (message.type) {
    case ueiTypeNone:
      return true;
    case ueiTypeByte:
      data[(*length)++] = static_cast<uint8_t>(message.value);
      return true;
    case ueiTypeShort:
      data[(*length)++] = static_cast<uint8_t>(message.value >> 8);
      data[(*length)++] = static_cast<uint8_t>(message.value);
      return true;
    case ueiTypeInt:
      for (int shift = 24; shift >= 0; shift -= 8) data[(*length)++] = static_cast<uint8_t>(message.value >> shift);
      return true;
    default:
      return false;
  }
}

aErr sendBlock(uint32_t linkId, const uei& message) {
  if (message.length > kUEIBlockMaxLength || (message.length > 0 && message.data == nullptr)) return aErrParam;
  uint32_t offset = 0;
  uint8_t sequence = 0;
  // An empty block still goes out, as one packet without value bytes.
  do {
    uint32_t left = message.length - offset;
    uint8_t chunk = static_cast<uint8_t>(left < kUEIBlockChunk ? left : kUEIBlockChunk);
    uint8_t data[kPacketMaxData];
    uint8_t length = encodeHeader(message, data);
    if (chunk > 0) memcpy(data + length, message.data + offset, chunk);
    length = static_cast<uint8_t>(length + chunk);
    offset += chunk;
    bool more = offset < message.length;
    data[length++] = static_cast<uint8_t>((sequence & kUEIBlockSequenceMask) | (more ? kUEIBlockMore : 0));
    if (sequence > 0) aTime_MSSleep(kBlockPacketPauseMs);
    aErr result = putPacket(linkId, message.module, length, data);
    if (result != aErrNone) return result;
    ++sequence;
  } while (offset < message.length);
  return aErrNone;
}

uint8_t MatchMagic(const aPacket* packet, const void*) { return packet->dataSize == 0 ? 1 : 0; }

// Reference of cbModelCallback: the wanted model in, the module found out.
struct ModelSearch {
  linkSpec* spec;
};

bool cbModelCallback(const linkSpec* spec, bool* found, void* reference) {
  linkSpec* wanted = static_cast<ModelSearch*>(reference)->spec;
  if (wanted->model != 0 && spec->model != wanted->model) return true;
  *wanted = *spec;
  *found = true;
  return false;
}

linkSpec* findByModel(linkType type, uint8_t model) {
  linkSpec* spec = aLinkSpec_Create(type);
  if (spec == nullptr) return nullptr;
  spec->model = model;
  ModelSearch search{spec};
  if (aDiscovery_EnumerateModules(type, cbModelCallback, &search) == 0) aLinkSpec_Destroy(&spec);
  return spec;
}

uint32_t createEngineLink(const linkSpec& spec) {
  switch (spec.type) {
    case linkTypeUSB:
      return aLink_CreateUSB(spec.serialNumber);
    case linkTypeTCPIP:
      return aLink_CreateTCPIP(spec.t.ip.ipAddress, spec.t.ip.ipPort & 0xFFFFu);
    case linkTypeSerial:
      return aLink_CreateSerial(spec.serialNumber, spec.t.serial.portName, spec.t.serial.baudRate);
    default:
      return 0;
  }
}

}  // namespace

struct Link::impl {
  Link* owner;
  uint32_t linkId = 0;
  std::string name;
  bool hasSpec = false;
  linkSpec spec{};
  unsigned long replyTimeoutMs = kLinkReplyTimeoutMs;

  impl(Link* link, const char* text) : owner(link) {
    if (text != nullptr) name.assign(text, strnlen(text, kLinkNameLimit));
  }
};

namespace {

// Whether the packet is a reply to the record's module, command, option and specifier.
bool isReplyTo(const aPacket* packet, const uei& message) {
  if (packet->address != message.module || packet->dataSize < kUEIHeaderLength) return false;
  const uint8_t* data = packet->data;
  return data[0] == message.command && data[1] == message.option &&
         (data[2] & kUEIIndexMask) == message.specifier;
}

// The filter of dropMatchingUEIPackets: matches like sUEIFilter but leaves the pattern alone, so
// an error reply drained first cannot change what the later ones are matched against.
uint8_t sUEIPatternFilter(const aPacket* packet, const void* ref) {
  return isReplyTo(packet, *static_cast<const uei*>(ref)) ? 1 : 0;
}

}  // namespace

uint8_t sUEIFilter(const aPacket* packet, const void* ref) {
  // The record is the caller's own (non-const) object; the filter writes the reply into it.
  uei* message = const_cast<uei*>(static_cast<const uei*>(ref));
  if (!isReplyTo(packet, *message)) return 0;
  const uint8_t* data = packet->data;
  if (data[2] & kUEISpecifierError) {
    message->specifier = data[2];
    message->value = packet->dataSize > kUEIHeaderLength ? data[3] : 0;
    message->type = ueiTypeByte;
    return 1;
  }
  switch (packet->dataSize) {
    case 3:
      message->type = ueiTypeNone;
      message->value = 0;
      break;
    case 4:
      message->type = ueiTypeByte;
      message->value = data[3];
      break;
    case 5:
      message->type = ueiTypeShort;
      message->value = static_cast<uint32_t>(data[3]) << 8 | data[4];
      break;
    case 7:
      message->type = ueiTypeInt;
      message->value = static_cast<uint32_t>(data[3]) << 24 | static_cast<uint32_t>(data[4]) << 16 |
                       static_cast<uint32_t>(data[5]) << 8 | data[6];
      break;
    default:
      break;
  }
  return 1;
}

uint8_t sCommandFilter(const aPacket* packet, const void* ref) {
  const sCommandMatch* match = static_cast<const sCommandMatch*>(ref);
  if (match->length > packet->dataSize) return 0;
  return match->length == 0 || memcmp(packet->data, match->match, match->length) == 0 ? 1 : 0;
}

Link::Link(const char* name) : m_impl(new (std::nothrow) impl(this, name)) {}

Link::Link(const linkSpec& spec, const char* name) : Link(name) {
  if (m_impl != nullptr) {
    m_impl->spec = spec;
    m_impl->hasSpec = true;
  }
}

Link::~Link() { (void)disconnect(); }  // always aErrNone

aErr Link::setLinkSpecifier(const linkSpec& spec) {
  if (m_impl == nullptr) return aErrInitialization;
  if (m_impl->linkId != 0) return aErrBusy;
  m_impl->spec = spec;
  m_impl->hasSpec = true;
  return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const {
  if (m_impl == nullptr) return aErrInitialization;
  if (spec == nullptr) return aErrParam;
  if (!m_impl->hasSpec) return aErrNotFound;
  *spec = m_impl->spec;
  return aErrNone;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  if (m_impl == nullptr) return aErrInitialization;
  linkSpec* found = serialNumber != 0 ? aDiscovery_FindModule(type, serialNumber) : findByModel(type, model);
  if (found == nullptr) return aErrNotFound;
  aErr result = setLinkSpecifier(*found);
  aLinkSpec_Destroy(&found);
  if (result != aErrNone) return result;
  return connect();
}

aErr Link::connect() {
  if (m_impl == nullptr) return aErrInitialization;
  if (m_impl->linkId == 0) {
    if (!m_impl->hasSpec) return aErrConfiguration;
    m_impl->linkId = createEngineLink(m_impl->spec);
    if (m_impl->linkId == 0) return aErrConnection;
  }
  // A link still on its way up is looked at again; any other state settles the outcome, which
  // then says all the retry's result would.
  aErr outcome = aErrNotReady;
  (void)RetryBounded(
      kLinkStatusPolls + 1, kLinkStatusPollMs,
      [&](unsigned) {
        outcome = connectOutcome(aLink_GetStatus(m_impl->linkId));
        return outcome == aErrNotReady ? aErrNotReady : aErrNone;
      },
      RetryPause::Between);
  return outcome == aErrNotReady ? aErrConnection : outcome;
}

bool Link::isConnected() const {
  if (m_impl == nullptr || m_impl->linkId == 0) return false;
  linkStatus status = aLink_GetStatus(m_impl->linkId);
  return status == linkRunning || status == linkStarting;
}

aErr Link::disconnect() {
  if (m_impl == nullptr || m_impl->linkId == 0) return aErrNone;
  // Destroy zeroes the identifier whatever it reports.
  (void)aLink_Destroy(&m_impl->linkId);
  m_impl->linkId = 0;
  return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
  if (address == nullptr) return aErrParam;
  *address = 0;
  if (!isConnected()) return aErrNotReady;
  if (putPacket(m_impl->linkId, kLinkMagicQueryAddress, 0, nullptr) != aErrNone) return aErrNotReady;
  aPacket* reply = aLink_AwaitFirst(m_impl->linkId, MatchMagic, nullptr, m_impl->replyTimeoutMs);
  if (reply == nullptr) return aErrNotReady;
  *address = reply->address;
  (void)aPacket_Destroy(&reply);  // fails only for a null packet
  return aErrNone;
}

linkStatus Link::getStatus() const {
  if (m_impl == nullptr || m_impl->linkId == 0) return linkError;
  return aLink_GetStatus(m_impl->linkId);
}

aErr Link::reset() {
  if (m_impl == nullptr || m_impl->linkId == 0) return aErrConnection;
  return aLink_Reset(m_impl->linkId);
}

const char* Link::getName() const { return m_impl != nullptr ? m_impl->name.c_str() : ""; }

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
  if (m_impl == nullptr || m_impl->linkId == 0) return aErrConnection;
  if (length > kLinkMaxPacketArguments || (length > 0 && data == nullptr)) return aErrParam;
  if (!validModuleAddress(address)) return aErrPacket;
  uint8_t packet[kPacketMaxData];
  packet[0] = command;
  if (length > 0) memcpy(packet + 1, data, length);
  return putPacket(m_impl->linkId, address, static_cast<uint8_t>(length + 1), packet);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer) {
  if (m_impl == nullptr || m_impl->linkId == 0) return aErrConnection;
  if (!validModuleAddress(address)) return aErrPacket;
  if (length == nullptr || buffer == nullptr || *length > kPacketMaxData || (*length > 0 && match == nullptr)) {
    return aErrParam;
  }
  sCommandMatch reference{*length, match};
  aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sCommandFilter, &reference, m_impl->replyTimeoutMs);
  if (packet == nullptr) return aLink_GetLostCause(m_impl->linkId) != aErrNone ? aErrConnection : aErrTimeout;
  *length = packet->dataSize;
  memcpy(buffer, packet->data, packet->dataSize);
  (void)aPacket_Destroy(&packet);  // fails only for a null packet
  return aErrNone;
}

unsigned Link::dropPackets(aPacketFilter filter, const void* ref) {
  if (m_impl == nullptr || m_impl->linkId == 0 || filter == nullptr) return 0;
  return aLink_DrainPackets(m_impl->linkId, filter, ref);
}

aErr Link::awaitPacket(aPacketFilter filter, const void* ref, unsigned long timeoutMs) {
  if (m_impl == nullptr || m_impl->linkId == 0) return aErrConnection;
  if (filter == nullptr) return aErrParam;
  aPacket* packet = aLink_AwaitFirst(m_impl->linkId, filter, ref, timeoutMs);
  if (packet == nullptr) return aErrTimeout;
  (void)aPacket_Destroy(&packet);  // fails only for a null packet
  return aErrNone;
}

size_t Link::unsentPackets() const {
  if (m_impl == nullptr || m_impl->linkId == 0) return 0;
  return static_cast<size_t>(aLink_GetUnsentCount(m_impl->linkId));
}

std::string Link::lostCause() const {
  if (m_impl == nullptr || m_impl->linkId == 0) return std::string();
  aErr cause = aLink_GetLostCause(m_impl->linkId);
  if (cause == aErrNone) return std::string();
  // The stream's own codes, in the words of the transport they came from.
  if (m_impl->hasSpec && m_impl->spec.type == linkTypeTCPIP && cause == aErrConnection) {
    return "connection reset by the module, and a new one refused";
  }
  if (m_impl->hasSpec && m_impl->spec.type == linkTypeUSB && (cause == aErrIO || cause == aErrConnection)) {
    return "the device left the USB bus";
  }
  return aError_GetErrorDescription(cause);
}

void Link::setReplyTimeout(unsigned long timeoutMs) {
  if (m_impl != nullptr) m_impl->replyTimeoutMs = timeoutMs;
}

unsigned long Link::replyTimeout() const { return m_impl != nullptr ? m_impl->replyTimeoutMs : kLinkReplyTimeoutMs; }

aErr Link::sendUEI(const uei& message) {
  if (m_impl == nullptr || m_impl->linkId == 0) return aErrConnection;
  if (!validModuleAddress(message.module)) return aErrPacket;
  if (message.type == ueiTypeBytes) return sendBlock(m_impl->linkId, message);
  uint8_t data[kPacketMaxData];
  uint8_t length = encodeHeader(message, data);
  if (!encodeValue(message, data, &length)) return aErrParam;
  return putPacket(m_impl->linkId, message.module, length, data);
}

aErr Link::sendUEI(const uei& message, uint8_t subindex) {
  if (m_impl == nullptr || m_impl->linkId == 0) return aErrConnection;
  if (!validModuleAddress(message.module)) return aErrPacket;
  if (message.type == ueiTypeBytes) return aErrParam;
  uint8_t data[kPacketMaxData];
  uint8_t length = encodeHeader(message, data);
  data[length++] = subindex;
  if (!encodeValue(message, data, &length)) return aErrParam;
  return putPacket(m_impl->linkId, message.module, length, data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message) {
  return receiveUEI(module, command, option, index, message, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* message, aPacketFilter filter) {
  if (m_impl == nullptr || m_impl->linkId == 0) return aErrConnection;
  if (!validModuleAddress(module)) return aErrPacket;
  if (message == nullptr || filter == nullptr) return aErrParam;
  aPacket* reply = aLink_AwaitFirst(m_impl->linkId, filter, message, m_impl->replyTimeoutMs);
  if (reply == nullptr) return aErrTimeout;
  (void)aPacket_Destroy(&reply);  // fails only for a null packet
  return aErrNone;
}

unsigned Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  if (m_impl == nullptr || m_impl->linkId == 0) return 0;
  uei pattern;
  pattern.module = module;
  pattern.command = command;
  pattern.option = option;
  pattern.specifier = index & kUEIIndexMask;
  return aLink_DrainPackets(m_impl->linkId, sUEIPatternFilter, &pattern);
}

}  // namespace Halyard
}  // namespace Tessaron
