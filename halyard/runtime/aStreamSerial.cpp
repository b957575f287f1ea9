// Serial port transport (termios): raw bytes, reads that return at once with what is waiting.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "aFile.h"
#include "aStream.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;

struct aUnixSerialStream {
  int baudIndex;
  char port[kMaxPathLength];
  int fd;
  bool saved;
  struct termios original;
  struct termios applied;
  uint16_t check;
};

const unsigned kBaudRates[kSerialBaudCount] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const speed_t kBaudSpeeds[kSerialBaudCount] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

aUnixSerialStream* record(void* ref) {
  aUnixSerialStream* serial = static_cast<aUnixSerialStream*>(ref);
  return serial != nullptr && serial->check == kSerialCheck ? serial : nullptr;
}

aErr serialGet(uint8_t* out, void* ref) {
  aUnixSerialStream* serial = record(ref);
  if (serial == nullptr || out == nullptr) return aErrParam;
  ssize_t count = read(serial->fd, out, 1);
  if (count == 1) return aErrNone;
  if (count == 0 || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

aErr serialReady(unsigned timeoutMs, void* ref) {
  aUnixSerialStream* serial = record(ref);
  if (serial == nullptr) return aErrParam;
  struct pollfd waiting = {serial->fd, POLLIN, 0};
  return poll(&waiting, 1, static_cast<int>(timeoutMs)) > 0 ? aErrNone : aErrNotReady;
}

aErr serialWrite(const uint8_t* data, size_t length, void* ref) {
  aUnixSerialStream* serial = record(ref);
  if (serial == nullptr || data == nullptr) return aErrParam;
  ssize_t count = write(serial->fd, data, length);
  return count == static_cast<ssize_t>(length) ? aErrNone : aErrIO;
}

aErr serialPut(const uint8_t* byte, void* ref) { return serialWrite(byte, 1, ref); }

aErr serialDrain(void* ref) {
  aUnixSerialStream* serial = record(ref);
  if (serial == nullptr) return aErrParam;
  while (tcdrain(serial->fd) != 0) {
    if (errno != EINTR) return aErrIO;
  }
  return aErrNone;
}

aErr serialDelete(void* ref) {
  aUnixSerialStream* serial = record(ref);
  if (serial == nullptr) return aErrParam;
  if (serial->fd >= 0) {
    if (serial->saved) tcsetattr(serial->fd, TCSANOW, &serial->original);
    close(serial->fd);
  }
  serial->check = 0;
  free(serial);
  return aErrNone;
}

aErr openErrorFor(int error) {
  if (error == ENOENT) return aErrNotFound;
  if (error == EACCES) return aErrPermission;
  return aErrIO;
}

struct termios rawAttributes(const struct termios& base, int baudIndex, bool parity, unsigned bits,
                             unsigned stopBits) {
  struct termios attributes = base;
  attributes.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  attributes.c_oflag = 0;
  attributes.c_lflag = 0;
  attributes.c_cflag = CLOCAL | CREAD | (bits == aSerialBits7 ? CS7 : CS8);
  if (parity) attributes.c_cflag |= PARENB;
  if (stopBits == aSerialStopBits2) attributes.c_cflag |= CSTOPB;
  attributes.c_cc[VMIN] = 0;
  attributes.c_cc[VTIME] = 0;
  cfsetispeed(&attributes, kBaudSpeeds[baudIndex]);
  cfsetospeed(&attributes, kBaudSpeeds[baudIndex]);
  return attributes;
}

aErr configurePort(aUnixSerialStream* serial, bool parity, unsigned bits, unsigned stopBits) {
  serial->fd = open(serial->port, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (serial->fd < 0) return openErrorFor(errno);
  int flags = fcntl(serial->fd, F_GETFL);
  if (flags < 0 || fcntl(serial->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return aErrIO;
  if (tcgetattr(serial->fd, &serial->original) != 0) return aErrIO;
  serial->saved = true;
  serial->applied = rawAttributes(serial->original, serial->baudIndex, parity, bits, stopBits);
  if (tcsetattr(serial->fd, TCSANOW, &serial->applied) != 0) return aErrIO;
  if (tcflush(serial->fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

}  // namespace

unsigned aSerial_BaudRate(int baudIndex) {
  return baudIndex >= 0 && baudIndex < kSerialBaudCount ? kBaudRates[baudIndex] : 0;
}

int aSerial_BaudIndex(unsigned baud) {
  for (int i = 0; i < kSerialBaudCount; ++i) {
    if (kBaudRates[i] == baud) return i;
  }
  return -1;
}

aErr aStream_CreateSerial(const char* port, int baudIndex, bool parity, unsigned bits, unsigned stopBits,
                          aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  if (port == nullptr || bits > 1 || stopBits > 1 || baudIndex < 0 || baudIndex >= kSerialBaudCount) {
    return aErrParam;
  }
  if (strnlen(port, kMaxPathLength) >= kMaxPathLength) return aErrFileNameLength;
  aUnixSerialStream* serial = static_cast<aUnixSerialStream*>(calloc(1, sizeof(aUnixSerialStream)));
  if (serial == nullptr) return aErrMemory;
  serial->check = kSerialCheck;
  serial->baudIndex = baudIndex;
  serial->fd = -1;
  memcpy(serial->port, port, strlen(port) + 1);
  aErr result = configurePort(serial, parity, bits, stopBits);
  if (result != aErrNone) {
    serialDelete(serial);
    return result;
  }
  *stream = aStream_Create(serialGet, serialPut, serialWrite, serialDelete, serial);
  if (*stream == nullptr) {
    serialDelete(serial);
    return aErrResource;
  }
  result = aStream_SetReadyProc(*stream, serialReady);
  return result == aErrNone ? aStream_SetDrainProc(*stream, serialDrain) : result;
}
