#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "recovery/imx/SDPLoader_Interface.h"

struct PrivateSerial_SDPLoader;

// SDP transport over a serial port (POSIX terminal interface, 115200 baud, 8N1, raw). The
// report identifier at the head of each frame is not sent. Replies are the bytes as they arrive:
// the 4-byte security-mode word, then the value.
class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  static constexpr unsigned int LINE_RATE = 115200;
  static constexpr unsigned int BITS_PER_CHARACTER = 10;  // start, 8 data, stop
  // Pause after the port settings are applied, before pending bytes are discarded.
  static constexpr unsigned int SETTLE_MS = 1000;
  // A frame the port has not taken completely within this time is given up (writeData returns a
  // negative count). A 1024-byte frame needs 89 ms of line time, and a full kernel buffer ahead
  // of it a few hundred more: only a port that stopped accepting data gets here.
  static constexpr unsigned int WRITE_TIMEOUT_MS = 2000;
  // Bytes one readData call takes at most, so that a chattering device cannot keep it reading.
  static constexpr size_t MAX_REPLY_BYTES = 4096;
  // A reply is complete once the line has stayed quiet this long after its last byte (even if
  // the read's time-out has not run out): more than the 16 ms a USB serial adapter may hold a
  // few bytes before passing them on.
  static constexpr unsigned int REPLY_QUIET_MS = 30;
  // How much slower than LINE_RATE the line may carry bytes still queued before a reply is
  // given up: UARTs tolerate a few percent of rate error, adapters add gaps between characters.
  static constexpr unsigned int LINE_SLACK_PERCENT = 25;

  explicit Serial_SDPLoader(const char* port);
  ~Serial_SDPLoader() override;

  // Opens and configures the port; false when it cannot be opened or is not a terminal.
  [[nodiscard]] bool init() override;
  // Writes bytes 1 to the end of frame; frame size - 1 on success, negative on a write error or
  // when the port took less than the whole frame within WRITE_TIMEOUT_MS.
  [[nodiscard]] long writeData(const std::vector<unsigned char>& frame) override;
  // timeoutMs 0: only the bytes already waiting. Otherwise the bytes that arrive within timeoutMs
  // of the first one (ending early after REPLY_QUIET_MS without a byte), which may come up to
  // timeoutMs after the line has carried everything
  // written so far (reckoned at LINE_RATE plus LINE_SLACK_PERCENT): a device answers only once
  // it has received the whole command or image, and at 115200 baud a kernel buffer full of
  // image data takes far longer than timeoutMs to leave.
  unsigned long readData(std::vector<unsigned char>& reply, unsigned int timeoutMs) override;
  void keepWrittenAtClose() override;
  [[nodiscard]] bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                                       unsigned int& value) override;

  // The value layout of serial replies: with offset at most 15 and at least (offset + 2) * 4
  // bytes, the little-endian word at 4 + offset.
  [[nodiscard]] static bool valueFromReply(const std::vector<unsigned char>& reply, unsigned int offset,
                                           unsigned int& value);

 private:
  std::unique_ptr<PrivateSerial_SDPLoader> d;
};
