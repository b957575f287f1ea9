#pragma once
#include <vector>

// A byte transport to an i.MX boot ROM speaking the Serial Download Protocol. It knows how to
// move bytes and where a reply keeps its 32-bit value; it knows nothing of the commands.
//
// Frames handed to writeData begin with a report identifier (1: a 16-byte command, 2: image
// data). A transport without reports drops that byte.
class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() = default;

  // Opens the transport; true when the device can now be talked to.
  [[nodiscard]] virtual bool init() = 0;

  // Sends one frame. Returns the number of bytes written, negative on failure. Must end within
  // a bounded time even when the device stops taking data.
  [[nodiscard]] virtual long writeData(const std::vector<unsigned char>& frame) = 0;

  // Appends to reply whatever the device sends within timeoutMs (0: only what is already
  // waiting) and returns the number of bytes appended.
  virtual unsigned long readData(std::vector<unsigned char>& reply, unsigned int timeoutMs) = 0;

  // ORs the 32-bit little-endian value kept at offset in reply into value. False, and value
  // untouched, when the reply holds no value there.
  [[nodiscard]] virtual bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                                               unsigned int& value) = 0;

  // The frames written so far were meant to reach the device whole: closing the transport lets
  // them go out instead of discarding what is still on its way, as it does for a cut write.
  virtual void keepWrittenAtClose() {}

 protected:
  SDPLoader_Interface() = default;
  SDPLoader_Interface(const SDPLoader_Interface&) = delete;
  SDPLoader_Interface& operator=(const SDPLoader_Interface&) = delete;
};
