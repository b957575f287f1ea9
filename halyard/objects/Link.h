#pragma once
// One connection to a module: the link specifier that says how to reach it, one use of an engine
// link (aLink_*) made from it, and request/reply primitives over the engine's queues. Every
// operation returns an aErr code and never throws.
#include <cstdint>
#include <memory>
#include <string>

#include "UEI.h"
#include "aDefs.h"
#include "aError.h"
#include "aLink.h"
#include "aLinkSpec.h"
#include "aPacket.h"

namespace Tessaron {
namespace Halyard {

// Every wait for a reply.
constexpr unsigned long kLinkReplyTimeoutMs = 1000;
// connect() polls the engine status this often, this many times, for it to run.
constexpr unsigned long kLinkStatusPollMs = 10;
constexpr unsigned kLinkStatusPolls = 200;
// Packets to this address ask the module at the end of the link for its own address.
constexpr uint8_t kLinkMagicQueryAddress = kLinkMagicAddress;
// A command packet carries the command byte and at most this many bytes after it.
constexpr uint8_t kLinkMaxPacketArguments = kPacketMaxData - 1;

class Link {
 public:
  explicit Link(const char* name);
  Link(const linkSpec& spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // aErrBusy while an engine link exists (the stored specifier is kept).
  [[nodiscard]] aErr setLinkSpecifier(const linkSpec& spec);
  // aErrNotFound when none is set.
  [[nodiscard]] aErr getLinkSpecifier(linkSpec* spec) const;

  // Finds the module (by serial number, or the first of `model` when the serial number is 0;
  // model 0 = any) and connects to it. aErrNotFound when no module matches.
  [[nodiscard]] aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
  // Creates the engine link from the specifier unless one exists, then waits up to 2 s for it
  // to run. aErrConfiguration without a specifier, aErrConnection when it cannot be made or does
  // not run, aErrBusy while it stops.
  [[nodiscard]] aErr connect();
  // An engine link exists and is running or starting.
  bool isConnected() const;
  // Drops this link's use of its engine link; always aErrNone.
  [[nodiscard]] aErr disconnect();
  // The magic query: the address of the module at the end of the link. aErrNotReady (and 0)
  // when not connected or when nothing answered within 1000 ms.
  [[nodiscard]] aErr getModuleAddress(uint8_t* address);
  // The engine status; linkError without an engine link.
  linkStatus getStatus() const;
  // Stops the engine link, reopens its stream and starts it again.
  [[nodiscard]] aErr reset();
  const char* getName() const;

  // One packet to module `address`: the command byte, then `length` (at most 27) bytes.
  [[nodiscard]] aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
  // Waits up to 1000 ms for the first inbound packet (from any module) whose first *length data
  // bytes equal `match`; then *length is its data length and `buffer` (28 bytes) its data.
  // aErrTimeout when nothing matched; aErrConnection when the link was lost meanwhile (its
  // stream stopped: lostCause() tells why).
  [[nodiscard]] aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer);
  // Waits up to timeoutMs for the first inbound packet the filter accepts (the filter, run on
  // this thread, takes from it what it needs) and removes it. aErrTimeout when none came,
  // aErrConnection without an engine link.
  [[nodiscard]] aErr awaitPacket(aPacketFilter filter, const void* ref, unsigned long timeoutMs);
  // Packets sendPacket put on the outbound queue that are not on the wire yet.
  size_t unsentPackets() const;
  // Removes every queued inbound packet the filter accepts, without waiting; returns how many.
  unsigned dropPackets(aPacketFilter filter, const void* ref);
  // Why the link no longer carries packets, in words ("connection reset by the module"); empty
  // while it does, or when it was never made.
  std::string lostCause() const;
  // How long receivePacket, receiveUEI and getModuleAddress wait (default kLinkReplyTimeoutMs).
  void setReplyTimeout(unsigned long timeoutMs);
  unsigned long replyTimeout() const;

  // Puts the message (a byte block: a series of packets) on the outbound queue.
  [[nodiscard]] aErr sendUEI(const uei& message);
  // As sendUEI, with an 8-bit sub-index between the header and the value.
  [[nodiscard]] aErr sendUEI(const uei& message, uint8_t subindex);
  // Waits up to 1000 ms for the reply matching the record's module, command, option and
  // specifier, and decodes it into the record. `module` is only checked.
  [[nodiscard]] aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message);
  [[nodiscard]] aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message,
                                aPacketFilter filter);
  // Removes queued replies for (module, command, option, index); returns how many.
  unsigned dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

  struct impl;

 private:
  std::unique_ptr<impl> m_impl;
};

// The reply filter of receiveUEI, `ref` being the uei record to match and decode into (it runs
// on the caller's thread, so it may write into the record).
uint8_t sUEIFilter(const aPacket* packet, const void* ref);

// The filter of receivePacket: accepts a packet whose first `length` data bytes equal `match`.
struct sCommandMatch {
  uint8_t length;
  const uint8_t* match;
};
uint8_t sCommandFilter(const aPacket* packet, const void* ref);

}  // namespace Halyard
}  // namespace Tessaron
