#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "recovery/imx/SDPLoader_Interface.h"

// The few Serial Download Protocol exchanges recovery needs with an i.MX boot ROM (status check,
// file write, jump, register read), over any SDPLoader_Interface transport. Diagnostics go to
// the log under DEBUG_iMXSerial; nothing is printed on the console.
class SDPLoader {
 public:
  // Results of init, writeLoader and getFingerprint.
  static constexpr int SDP_OK = 0;
  static constexpr int SDP_NO_TRANSPORT = 1;
  static constexpr int SDP_NO_ANSWER = 2;             // the status check never got a value back
  static constexpr int SDP_TRANSFER_INTERRUPTED = 3;  // the device sent data during the transfer
  static constexpr int SDP_FILE_NOT_ACCEPTED = 4;     // no accepted-file reply, or a write failed
  static constexpr int SDP_INIT_FAILED = 6;
  static constexpr int SDP_NO_REGISTER_VALUE = 7;
  static constexpr int SDP_TRANSFER_STOPPED = 8;      // the stop check asked to stop between frames
  static constexpr int SDP_NEEDS_POWER_CYCLE = 9;     // silent, also once a pending write was fed

  // Frame layout: report identifier, then the 16-byte command (command frames) or image data.
  static constexpr unsigned char COMMAND_REPORT = 1;
  static constexpr unsigned char DATA_REPORT = 2;
  static constexpr size_t COMMAND_FRAME_SIZE = 17;
  static constexpr size_t DATA_FRAME_PAYLOAD = 1024;

  static constexpr unsigned char CMD_READ_REGISTER = 0x01;
  static constexpr unsigned char CMD_WRITE_FILE = 0x04;
  static constexpr unsigned char CMD_ERROR_STATUS = 0x05;
  static constexpr unsigned char CMD_JUMP_ADDRESS = 0x0B;
  static constexpr unsigned char FORMAT_32_BIT = 0x20;

  static constexpr unsigned int REPLY_FILE_ACCEPTED = 0x88888888;
  static constexpr unsigned int REPLY_ACK = 0xF0F0F0F0;

  static constexpr unsigned int FINGERPRINT_LOW_REGISTER = 0x401F4410;
  static constexpr unsigned int FINGERPRINT_HIGH_REGISTER = 0x401F4420;

  static constexpr unsigned int REPLY_TIMEOUT_MS = 100;
  static constexpr int CONNECTION_ATTEMPTS = 5;
  // A boot ROM whose host stopped in the middle of a write waits for the rest of the announced
  // bytes, across closes of the port or the device, and answers nothing else. A silent ROM is fed
  // zero bytes up to the largest image it can take (the chip's 512 KiB of RAM for boot images)
  // until it answers the write; what it stored is overwritten by the next image anyway.
  static constexpr size_t LARGEST_PENDING_WRITE = 512 * 1024;

  SDPLoader();
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes ownership of loader. False, and nothing changes (the caller keeps loader), when loader
  // is null or a transport is already set. A pointer to a derived class is converted, and so given
  // up, before the call: hold it as a std::unique_ptr<SDPLoader_Interface> to keep it on refusal.
  [[nodiscard]] bool setLoader(std::unique_ptr<SDPLoader_Interface>&& loader);
  // 1 without a transport, 0 when the transport opened, 6 when it did not.
  [[nodiscard]] int init();
  // Writes image to address in the device: 0 on success, 1 without a transport, 2 when the boot
  // ROM does not answer the status check properly (or the transport fails), 9 when it answers
  // nothing, also once a pending write was fed (the board needs a power cycle), 3 when it sent
  // data in the middle of the transfer, 4 when the file was not accepted (including a frame the
  // transport failed to send). progress, when given, is told the share of the image sent (0 to 1)
  // after every data frame.
  [[nodiscard]] int writeLoader(std::vector<unsigned char> image, unsigned int address,
                                const std::function<void(double)>& progress = nullptr);
  // A check made before every data frame (also those that end a pending write); when it answers
  // true writeLoader stops with 8.
  void setStopCheck(bool (*check)()) { stopCheck = check; }
  // Makes the boot ROM jump to address. It may answer nothing once it has jumped.
  void startLoader(unsigned int address);
  // The register at 0x401F4410 in bits 31..0 and the one at 0x401F4420 in bits 63..32. 0 on
  // success (fingerprint set), 1 without a transport, 2 when the status check fails, 7 when a
  // register reply holds no value (fingerprint untouched on failure).
  [[nodiscard]] int getFingerprint(unsigned long& fingerprint);

  // Command frames, COMMAND_FRAME_SIZE bytes each.
  static std::vector<unsigned char> _createStatusPacket();
  static std::vector<unsigned char> _createWriteFilePacket(unsigned int address, unsigned int length);
  static std::vector<unsigned char> _createJumpPacket(unsigned int address);
  static std::vector<unsigned char> _create4ByteReadRegisterPacket(unsigned int address);
  // Appends the command fields to frame (normally holding just the report identifier) and pads
  // it with zero bytes to COMMAND_FRAME_SIZE.
  static void _fillCommand(std::vector<unsigned char>& frame, unsigned char type, unsigned int address,
                           unsigned char format, unsigned int count, unsigned int data);
  // Logs every byte as "%X " and then a line end (DEBUG_iMXSerial).
  static void _printBuffer(const std::vector<unsigned char>& buffer);

  // Questions about one reply, answered through the transport's reply layout.
  [[nodiscard]] bool _expectSuccess(const std::vector<unsigned char>& reply);
  [[nodiscard]] bool _expectAck(const std::vector<unsigned char>& reply);
  [[nodiscard]] bool _expectResponse(const std::vector<unsigned char>& reply);

 private:
  // Writes one command frame and returns the reply that came within the reply time-out.
  std::vector<unsigned char> _exchange(const std::vector<unsigned char>& frame);
  // heardAnything, when given, is set when any status check got bytes back.
  [[nodiscard]] bool _isConnectionAlive(bool* heardAnything = nullptr);
  // The status check, and when the ROM stays silent, the end of a write it may still wait for:
  // SDP_OK, SDP_NO_ANSWER, SDP_NEEDS_POWER_CYCLE or SDP_TRANSFER_STOPPED.
  [[nodiscard]] int _reachBootRom();
  [[nodiscard]] int _endPendingWrite();
  [[nodiscard]] bool _sendWriteFileCommand(unsigned int address, size_t length);
  [[nodiscard]] int _sendImage(const std::vector<unsigned char>& image, int& total,
                               const std::function<void(double)>& progress);
  [[nodiscard]] int _awaitFileAccepted(int total);
  [[nodiscard]] bool _readRegister(unsigned int address, unsigned int& value);
  [[nodiscard]] bool _replyValue(const std::vector<unsigned char>& reply, unsigned int& value);

  std::unique_ptr<SDPLoader_Interface> loader;
  bool (*stopCheck)() = nullptr;
};
