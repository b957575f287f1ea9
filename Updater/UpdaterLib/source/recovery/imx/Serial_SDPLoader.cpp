#include "recovery/imx/Serial_SDPLoader.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "Log.h"
#include "aStream.h"

using Clock = std::chrono::steady_clock;

struct PrivateSerial_SDPLoader {
  int fd = -1;           // -1 while the port is not open
  std::string port;      // a copy: the caller's text need not outlive the loader
  struct termios settings {};
  struct termios original {};  // the port's settings before init, put back when it is closed
  // When the line will have carried every byte written so far, at LINE_RATE.
  Clock::time_point lineFree{};
  // Set once the last frame went out on purpose: its bytes are not discarded at close.
  bool keepWritten = false;
};

namespace {

constexpr unsigned int MAX_VALUE_OFFSET = 15;
constexpr size_t SECURITY_WORD_SIZE = 4;

Clock::duration lineTime(size_t bytes) {
  return std::chrono::nanoseconds(static_cast<long long>(bytes) * Serial_SDPLoader::BITS_PER_CHARACTER *
                                  1000000000LL / Serial_SDPLoader::LINE_RATE);
}

// Milliseconds left until deadline, rounded up so that a wait never ends early.
int msUntil(Clock::time_point deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// Waits until fd is ready for events or the deadline passes; false on time-out or error.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    struct pollfd entry {fd, events, 0};
    int ready = poll(&entry, 1, msUntil(deadline));
    if (ready > 0) return (entry.revents & (events | POLLERR | POLLHUP)) != 0;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

void configureRaw(struct termios& settings) {
  settings.c_cflag = CS8 | CREAD | CLOCAL;  // 8N1, receiver on, modem lines ignored
  cfsetispeed(&settings, B115200);          // after c_cflag: it carries the speed bits
  cfsetospeed(&settings, B115200);
  settings.c_iflag = 0;
  settings.c_oflag = 0;
  settings.c_lflag = 0;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* port) : d(std::make_unique<PrivateSerial_SDPLoader>()) {
  if (port != nullptr) d->port = port;
}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (d->fd >= 0) {
    // The rest of a cut write is discarded, so that the line stops and the close does not wait for
    // it; a frame meant to arrive (the jump) may still sit in an adapter or, on a pseudo-terminal,
    // be unread by the other end.
    tcflush(d->fd, d->keepWritten ? TCIFLUSH : TCIOFLUSH);
    tcsetattr(d->fd, TCSANOW, &d->original);
    aSerial_Release(d->fd);
    close(d->fd);
    d->fd = -1;
  }
}

bool Serial_SDPLoader::init() {
  if (d->fd >= 0) return true;
  if (d->port.empty()) return false;
  int fd = open(d->port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  // Another program on the port would take replies away or add bytes to the image.
  if (aSerial_Own(fd) != aErrNone) {
    close(fd);
    errno = EBUSY;
    return false;
  }
  if (!isatty(fd) || tcgetattr(fd, &d->settings) != 0) {
    aSerial_Release(fd);
    close(fd);
    return false;
  }
  d->original = d->settings;
  configureRaw(d->settings);
  // Output another program left queued is discarded, not waited for: its line may be stopped.
  tcflush(fd, TCIOFLUSH);
  if (tcsetattr(fd, TCSANOW, &d->settings) != 0) {
    aSerial_Release(fd);
    close(fd);
    return false;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS));
  tcflush(fd, TCIOFLUSH);
  d->fd = fd;
  d->lineFree = Clock::now();
  return true;
}

long Serial_SDPLoader::writeData(const std::vector<unsigned char>& frame) {
  if (d->fd < 0) return -1;
  if (frame.size() <= 1) return 0;
  const unsigned char* bytes = frame.data() + 1;
  size_t left = frame.size() - 1;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(WRITE_TIMEOUT_MS);
  while (left > 0) {
    ssize_t written = write(d->fd, bytes, left);
    if (written > 0) {
      d->lineFree = std::max(d->lineFree, Clock::now()) + lineTime(static_cast<size_t>(written));
      bytes += written;
      left -= static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      Log::log(DEBUG_iMXSerial, "Serial write failed: %s\n", strerror(errno));
      return -1;
    }
    if (waitFor(d->fd, POLLOUT, deadline)) continue;
    if (Clock::now() >= deadline) {
      Log::log(DEBUG_iMXSerial, "Serial port did not take the frame within %u ms, %zu bytes left\n",
               WRITE_TIMEOUT_MS, left);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // poll itself failed: do not spin
  }
  return static_cast<long>(frame.size() - 1);
}

namespace {

// Appends the bytes waiting on fd, up to room; the number appended.
size_t readWaiting(int fd, std::vector<unsigned char>& reply, size_t room) {
  size_t count = 0;
  unsigned char chunk[256];
  while (count < room) {
    size_t want = std::min(sizeof chunk, room - count);
    ssize_t got = read(fd, chunk, want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    reply.insert(reply.end(), chunk, chunk + got);
    count += static_cast<size_t>(got);
  }
  return count;
}

}  // namespace

unsigned long Serial_SDPLoader::readData(std::vector<unsigned char>& reply, unsigned int timeoutMs) {
  if (d->fd < 0) return 0;
  size_t count = readWaiting(d->fd, reply, MAX_REPLY_BYTES);
  if (timeoutMs == 0) return count;
  const auto window = std::chrono::milliseconds(timeoutMs);
  const auto quiet = std::chrono::milliseconds(std::min(timeoutMs, REPLY_QUIET_MS));
  Clock::time_point now = Clock::now();
  Clock::time_point windowEnd;  // set by the first byte
  Clock::time_point deadline;
  if (count > 0) {
    windowEnd = now + window;
    deadline = std::min(windowEnd, now + quiet);
  } else {
    Clock::duration stillOnLine = std::max(Clock::duration::zero(), d->lineFree - now);
    deadline = now + stillOnLine * (100 + LINE_SLACK_PERCENT) / 100 + window;
  }
  while (count < MAX_REPLY_BYTES && Clock::now() < deadline) {
    if (!waitFor(d->fd, POLLIN, deadline)) continue;
    size_t got = readWaiting(d->fd, reply, MAX_REPLY_BYTES - count);
    // Readable but nothing to read: the other end hung up and nothing more will come.
    if (got == 0) break;
    now = Clock::now();
    if (count == 0) windowEnd = now + window;
    count += got;
    deadline = std::min(windowEnd, now + quiet);
  }
  return count;
}

void Serial_SDPLoader::keepWrittenAtClose() { d->keepWritten = true; }

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                                         unsigned int& value) {
  return valueFromReply(reply, offset, value);
}

bool Serial_SDPLoader::valueFromReply(const std::vector<unsigned char>& reply, unsigned int offset,
                                      unsigned int& value) {
  if (offset > MAX_VALUE_OFFSET || reply.size() < (static_cast<size_t>(offset) + 2) * 4) return false;
  size_t at = SECURITY_WORD_SIZE + offset;
  value |= static_cast<unsigned int>(reply[at]) | static_cast<unsigned int>(reply[at + 1]) << 8 |
           static_cast<unsigned int>(reply[at + 2]) << 16 | static_cast<unsigned int>(reply[at + 3]) << 24;
  return true;
}
