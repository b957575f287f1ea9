#include "recovery/imx/SDPLoader.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "Log.h"
#include "aRetry.h"

namespace {

// Appends value most significant byte first.
void appendBigEndian(std::vector<unsigned char>& frame, unsigned int value) {
  for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<unsigned char>(value >> shift));
}

std::vector<unsigned char> commandFrame(unsigned char type, unsigned int address, unsigned char format,
                                        unsigned int count, unsigned int data) {
  std::vector<unsigned char> frame{SDPLoader::COMMAND_REPORT};
  SDPLoader::_fillCommand(frame, type, address, format, count, data);
  return frame;
}

}  // namespace

SDPLoader::SDPLoader() = default;

SDPLoader::~SDPLoader() = default;

bool SDPLoader::setLoader(std::unique_ptr<SDPLoader_Interface>&& transport) {
  if (!transport || loader) return false;
  loader = std::move(transport);
  return true;
}

int SDPLoader::init() {
  if (!loader) return SDP_NO_TRANSPORT;
  return loader->init() ? SDP_OK : SDP_INIT_FAILED;
}

int SDPLoader::writeLoader(std::vector<unsigned char> image, unsigned int address,
                           const std::function<void(double)>& progress) {
  if (!loader) return SDP_NO_TRANSPORT;
  int reached = _reachBootRom();
  if (reached != SDP_OK) return reached;
  if (!_sendWriteFileCommand(address, image.size())) return SDP_FILE_NOT_ACCEPTED;
  int total = 0;
  int sent = _sendImage(image, total, progress);
  if (sent != SDP_OK) return sent;
  return _awaitFileAccepted(total);
}

void SDPLoader::startLoader(unsigned int address) {
  if (!loader) return;
  std::vector<unsigned char> frame = _createJumpPacket(address);
  long written = loader->writeData(frame);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(written));
  _printBuffer(frame);
  if (written > 0) loader->keepWrittenAtClose();
  // The boot ROM may answer nothing once it has jumped; whatever comes is of no use.
  std::vector<unsigned char> reply;
  loader->readData(reply, REPLY_TIMEOUT_MS);
}

int SDPLoader::getFingerprint(unsigned long& fingerprint) {
  static_assert(sizeof(unsigned long) >= 8, "the fingerprint needs 64 bits");
  if (!loader) return SDP_NO_TRANSPORT;
  if (!_isConnectionAlive()) return SDP_NO_ANSWER;
  unsigned int low = 0;
  unsigned int high = 0;
  if (!_readRegister(FINGERPRINT_LOW_REGISTER, low) || !_readRegister(FINGERPRINT_HIGH_REGISTER, high)) {
    return SDP_NO_REGISTER_VALUE;
  }
  fingerprint = (static_cast<unsigned long>(high) << 32) | low;
  return SDP_OK;
}

// ---- command frames ---------------------------------------------------------------------------

void SDPLoader::_fillCommand(std::vector<unsigned char>& frame, unsigned char type, unsigned int address,
                             unsigned char format, unsigned int count, unsigned int data) {
  frame.push_back(type);
  frame.push_back(type);
  appendBigEndian(frame, address);
  frame.push_back(format);
  appendBigEndian(frame, count);
  appendBigEndian(frame, data);
  if (frame.size() < COMMAND_FRAME_SIZE) frame.resize(COMMAND_FRAME_SIZE, 0);
}

std::vector<unsigned char> SDPLoader::_createStatusPacket() { return commandFrame(CMD_ERROR_STATUS, 0, 0, 0, 0); }

std::vector<unsigned char> SDPLoader::_createWriteFilePacket(unsigned int address, unsigned int length) {
  return commandFrame(CMD_WRITE_FILE, address, FORMAT_32_BIT, length, 0);
}

std::vector<unsigned char> SDPLoader::_createJumpPacket(unsigned int address) {
  return commandFrame(CMD_JUMP_ADDRESS, address, 0, 0, 0);
}

std::vector<unsigned char> SDPLoader::_create4ByteReadRegisterPacket(unsigned int address) {
  return commandFrame(CMD_READ_REGISTER, address, FORMAT_32_BIT, 4, 0);
}

void SDPLoader::_printBuffer(const std::vector<unsigned char>& buffer) {
  if (!Log::enabled(DEBUG_iMXSerial)) return;
  // A data frame's dump is longer than one log record holds: log it in pieces.
  std::string text;
  for (unsigned char byte : buffer) {
    char item[4];
    snprintf(item, sizeof item, "%X ", byte);
    text += item;
    if (text.size() > Log::RECORD_SIZE - sizeof item) {
      Log::log(DEBUG_iMXSerial, "%s", text.c_str());
      text.clear();
    }
  }
  text += "\n";
  Log::log(DEBUG_iMXSerial, "%s", text.c_str());
}

// ---- replies ----------------------------------------------------------------------------------

bool SDPLoader::_replyValue(const std::vector<unsigned char>& reply, unsigned int& value) {
  value = 0;
  return loader && loader->getDataFromBuffer(reply, 0, value);
}

bool SDPLoader::_expectSuccess(const std::vector<unsigned char>& reply) {
  unsigned int value = 0;
  return _replyValue(reply, value) && value == REPLY_FILE_ACCEPTED;
}

bool SDPLoader::_expectAck(const std::vector<unsigned char>& reply) {
  unsigned int value = 0;
  return _replyValue(reply, value) && value == REPLY_ACK;
}

bool SDPLoader::_expectResponse(const std::vector<unsigned char>& reply) {
  unsigned int value = 0;
  return _replyValue(reply, value);
}

// ---- exchanges --------------------------------------------------------------------------------

std::vector<unsigned char> SDPLoader::_exchange(const std::vector<unsigned char>& frame) {
  long written = loader->writeData(frame);
  Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
  _printBuffer(frame);
  std::vector<unsigned char> reply;
  unsigned long received = loader->readData(reply, REPLY_TIMEOUT_MS);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(received));
  _printBuffer(reply);
  return reply;
}

bool SDPLoader::_isConnectionAlive(bool* heardAnything) {
  // Each status check waits REPLY_TIMEOUT_MS for its answer: no pause between them.
  aErr answered = RetryBounded(static_cast<unsigned>(CONNECTION_ATTEMPTS), 0, [&](unsigned) {
    std::vector<unsigned char> reply = _exchange(_createStatusPacket());
    if (heardAnything != nullptr && !reply.empty()) *heardAnything = true;
    return _expectResponse(reply) ? aErrNone : aErrTimeout;
  });
  if (answered == aErrNone) return true;
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

// A ROM that answers, even wrongly, is not inside a data phase: only a silent one is fed.
int SDPLoader::_reachBootRom() {
  bool heardAnything = false;
  if (_isConnectionAlive(&heardAnything)) return SDP_OK;
  return heardAnything ? SDP_NO_ANSWER : _endPendingWrite();
}

// Zero-filled data frames, each followed by a look (without waiting) for an answer: the ROM
// answers the write once its last byte came. Frames sent after that are taken as stray bytes
// over a UART and as data without a write over HID, and ignored either way.
int SDPLoader::_endPendingWrite() {
  Log::log(DEBUG_iMXSerial, "No answer from the iMX device: ending a write it may wait for\n");
  std::vector<unsigned char> frame(DATA_FRAME_PAYLOAD + 1, 0);
  frame[0] = DATA_REPORT;
  size_t fed = 0;
  bool answered = false;
  while (!answered && fed < LARGEST_PENDING_WRITE) {
    if (stopCheck != nullptr && stopCheck()) return SDP_TRANSFER_STOPPED;
    if (loader->writeData(frame) < 0) break;  // the transport takes nothing more
    fed += DATA_FRAME_PAYLOAD;
    std::vector<unsigned char> early;
    answered = loader->readData(early, 0) > 0;
  }
  // The rest of the answer, or the answer to the last frames still on their way.
  std::vector<unsigned char> rest;
  answered = loader->readData(rest, REPLY_TIMEOUT_MS) > 0 || answered;
  Log::log(DEBUG_iMXSerial, "Fed %zu bytes, %s\n", fed, answered ? "answered" : "no answer");
  if (fed == 0) return SDP_NO_ANSWER;  // the transport itself fails: nothing is known of the ROM
  if (answered && _isConnectionAlive()) return SDP_OK;
  Log::log(DEBUG_iMXSerial, "Error: the iMX device needs a power cycle\n");
  return SDP_NEEDS_POWER_CYCLE;
}

bool SDPLoader::_sendWriteFileCommand(unsigned int address, size_t length) {
  if (length > UINT32_MAX) {
    Log::log(DEBUG_iMXSerial, "Error: image of %zu bytes does not fit a write command\n", length);
    return false;
  }
  std::vector<unsigned char> frame = _createWriteFilePacket(address, static_cast<unsigned int>(length));
  long written = loader->writeData(frame);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(written));
  _printBuffer(frame);
  if (written < 0) {
    Log::log(DEBUG_iMXSerial, "Error while writing to iMX device. Aborting\n");
    return false;
  }
  return true;
}

// Sends the image in data frames. Before every frame it looks, without waiting, for anything the
// boot ROM sent: it only speaks in the middle of a transfer when something went wrong.
int SDPLoader::_sendImage(const std::vector<unsigned char>& image, int& total,
                          const std::function<void(double)>& progress) {
  size_t consumed = 0;
  for (int frameNumber = 0; consumed < image.size(); ++frameNumber) {
    if (stopCheck != nullptr && stopCheck()) return SDP_TRANSFER_STOPPED;
    std::vector<unsigned char> early;
    unsigned long received = loader->readData(early, 0);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(received));
    _printBuffer(early);
    if (!early.empty()) {
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return SDP_TRANSFER_INTERRUPTED;
    }
    size_t payload = std::min(DATA_FRAME_PAYLOAD, image.size() - consumed);
    std::vector<unsigned char> frame;
    frame.reserve(payload + 1);
    frame.push_back(DATA_REPORT);
    frame.insert(frame.end(), image.begin() + static_cast<std::ptrdiff_t>(consumed),
                 image.begin() + static_cast<std::ptrdiff_t>(consumed + payload));
    long written = loader->writeData(frame);
    consumed += payload;
    // A frame the transport could not send cannot be made up for: the boot ROM now waits for
    // bytes that will never come, and every further frame would only wait for the write bound.
    if (written < 0) {
      Log::log(DEBUG_iMXSerial, "Error while writing to iMX device. Aborting\n");
      return SDP_FILE_NOT_ACCEPTED;
    }
    total += static_cast<int>(written);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
             static_cast<ssize_t>(written), total, frameNumber, static_cast<long>(consumed),
             static_cast<ssize_t>(frame.size()));
    if (progress) progress(static_cast<double>(consumed) / static_cast<double>(image.size()));
  }
  return SDP_OK;
}

int SDPLoader::_awaitFileAccepted(int total) {
  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
  std::vector<unsigned char> reply;
  loader->readData(reply, REPLY_TIMEOUT_MS);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(reply);
  if (_expectSuccess(reply)) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return SDP_OK;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return SDP_FILE_NOT_ACCEPTED;
}

bool SDPLoader::_readRegister(unsigned int address, unsigned int& value) {
  return _replyValue(_exchange(_create4ByteReadRegisterPacket(address)), value);
}
