#pragma once
// What a scan of the device network behind a router needs of the router's link: the real one is
// the router module's Link; a test gives its own, with a writer and a router it controls.
#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

class ScanLink {
 public:
  virtual ~ScanLink() = default;
  // Puts one request (command byte first, `length` bytes) for the module at `address` on the
  // link's outbound queue.
  virtual aErr send(uint8_t address, const uint8_t* data, uint8_t length) = 0;
  // Waits up to timeoutMs for the first inbound packet the filter accepts; aErrTimeout when none.
  virtual aErr await(aPacketFilter filter, const void* ref, unsigned long timeoutMs) = 0;
  virtual bool connected() const = 0;
  // Requests put on the outbound queue that the link's writer has not sent yet.
  virtual size_t unsent() const = 0;
};
