// Serial port transport (termios): raw bytes, reads that return at once with what is waiting.
// The port is owned while it is open: no other program may open it (TIOCEXCL) or lock it (flock),
// and it is read and written without blocking, so that no setting another program changes can
// make a read or write wait without end.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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
  bool keepModemLines;
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

// The time the line needs for bytes at the stream's rate, in milliseconds (rounded up), plus
// kSerialWriteSlackMs for a kernel buffer still full of earlier bytes.
constexpr long kSerialWriteSlackMs = 2000;
long lineMs(const aUnixSerialStream* serial, size_t bytes) {
  unsigned rate = kBaudRates[serial->baudIndex];
  return static_cast<long>((static_cast<unsigned long long>(bytes) * 10 * 1000 + rate - 1) / rate) +
         kSerialWriteSlackMs;
}

long msSince(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Writes every byte, waiting for room with poll() no longer than the line needs for them (and
// the slack): a port whose output another program stopped (flow control, a paused line) fails
// with aErrTimeout instead of blocking.
aErr serialWrite(const uint8_t* data, size_t length, void* ref) {
  aUnixSerialStream* serial = record(ref);
  if (serial == nullptr || data == nullptr) return aErrParam;
  const long boundMs = lineMs(serial, length);
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  size_t done = 0;
  while (done < length) {
    ssize_t count = write(serial->fd, data + done, length - done);
    if (count > 0) {
      done += static_cast<size_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return aErrIO;
    long left = boundMs - msSince(start);
    if (left <= 0) return aErrTimeout;
    struct pollfd waiting = {serial->fd, POLLOUT, 0};
    if (poll(&waiting, 1, static_cast<int>(left)) < 0 && errno != EINTR) return aErrIO;
  }
  return aErrNone;
}

aErr serialPut(const uint8_t* byte, void* ref) { return serialWrite(byte, 1, ref); }

// Waits until the port has sent what was written: tcdrain() would wait without end on an output
// another program stopped, so the output queue is watched for as long as the line needs for it.
aErr serialDrain(void* ref) {
  aUnixSerialStream* serial = record(ref);
  if (serial == nullptr) return aErrParam;
  int queued = 0;
  if (ioctl(serial->fd, TIOCOUTQ, &queued) != 0) return aErrIO;
  const long boundMs = lineMs(serial, static_cast<size_t>(queued > 0 ? queued : 0));
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (queued > 0) {
    if (msSince(start) >= boundMs) return aErrTimeout;
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
    if (ioctl(serial->fd, TIOCOUTQ, &queued) != 0) return aErrIO;
  }
  return aErrNone;
}

aErr serialDelete(void* ref) {
  aUnixSerialStream* serial = record(ref);
  if (serial == nullptr) return aErrParam;
  if (serial->fd >= 0) {
    if (serial->saved) {
      struct termios restored = serial->original;
      if (serial->keepModemLines) restored.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
      tcsetattr(serial->fd, TCSANOW, &restored);
    }
    aSerial_Release(serial->fd);
    close(serial->fd);
  }
  serial->check = 0;
  free(serial);
  return aErrNone;
}

// The serial record of a stream, or null for a stream of another kind (whose record is not ours
// to read, not even its check field).
aUnixSerialStream* serialOf(aStreamRef stream) { return record(aStream_ReferenceOf(stream, serialDelete)); }

aErr openErrorFor(int error) {
  if (error == ENOENT) return aErrNotFound;
  if (error == EACCES) return aErrPermission;
  if (error == EBUSY) return aErrBusy;
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
  aErr owned = aSerial_Own(serial->fd);
  if (owned != aErrNone) {
    close(serial->fd);
    serial->fd = -1;
    errno = EBUSY;
    return owned;
  }
  if (tcgetattr(serial->fd, &serial->original) != 0) return aErrIO;
  serial->saved = true;
  serial->applied = rawAttributes(serial->original, serial->baudIndex, parity, bits, stopBits);
  if (tcsetattr(serial->fd, TCSANOW, &serial->applied) != 0) return aErrIO;
  if (tcflush(serial->fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

}  // namespace

aErr aSerial_Own(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? aErrBusy : aErrIO;
  // A port that is no terminal has no exclusive mode; the lock alone keeps it.
  (void)ioctl(fd, TIOCEXCL);
  return aErrNone;
}

void aSerial_Release(int fd) {
  // The exclusive mode belongs to the terminal, not to this descriptor: a pseudo-terminal whose
  // other side stays open would keep it after the close.
  (void)ioctl(fd, TIOCNXCL);
  (void)flock(fd, LOCK_UN);
}

int aSerial_PortHolder(const char* port) {
  struct stat status;
  if (port == nullptr || stat(port, &status) != 0) return 0;
  FILE* locks = fopen("/proc/locks", "re");
  if (locks == nullptr) return 0;
  // "1: FLOCK  ADVISORY  WRITE 1234 00:19:4 0 EOF": the holder's pid, then major:minor:inode of
  // the locked file (a blocked waiter's line has "->" before its kind and is skipped).
  char line[256];
  int holder = 0;
  while (holder == 0 && fgets(line, sizeof line, locks) != nullptr) {
    char kind[16];
    char mode[16];
    char access[16];
    int pid = 0;
    unsigned int devMajor = 0;
    unsigned int devMinor = 0;
    uintmax_t inode = 0;
    if (sscanf(line, "%*d: %15s %15s %15s %d %x:%x:%ju", kind, mode, access, &pid, &devMajor, &devMinor, &inode) != 7) {
      continue;
    }
    if (strcmp(kind, "FLOCK") == 0 && devMajor == major(status.st_dev) && devMinor == minor(status.st_dev) &&
        inode == static_cast<uintmax_t>(status.st_ino)) {
      holder = pid;
    }
  }
  fclose(locks);
  return holder;
}

unsigned aSerial_BaudRate(int baudIndex) {
  return baudIndex >= 0 && baudIndex < kSerialBaudCount ? kBaudRates[baudIndex] : 0;
}

int aSerial_BaudIndex(unsigned baud) {
  for (int i = 0; i < kSerialBaudCount; ++i) {
    if (kBaudRates[i] == baud) return i;
  }
  return -1;
}

aErr aSerial_SetRate(aStreamRef stream, int baudIndex) {
  aUnixSerialStream* serial = serialOf(stream);
  if (serial == nullptr || serial->fd < 0 || baudIndex < 0 || baudIndex >= kSerialBaudCount) return aErrParam;
  aErr drained = serialDrain(serial);
  if (drained != aErrNone) return drained;
  struct termios changed = serial->applied;
  cfsetispeed(&changed, kBaudSpeeds[baudIndex]);
  cfsetospeed(&changed, kBaudSpeeds[baudIndex]);
  if (tcsetattr(serial->fd, TCSANOW, &changed) != 0) return aErrIO;
  serial->applied = changed;
  serial->baudIndex = baudIndex;
  return aErrNone;
}

aErr aSerial_KeepModemLinesAtClose(aStreamRef stream) {
  aUnixSerialStream* serial = serialOf(stream);
  if (serial == nullptr) return aErrParam;
  serial->keepModemLines = true;
  return aErrNone;
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
