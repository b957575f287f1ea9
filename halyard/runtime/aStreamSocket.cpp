// TCP socket transport. The connection re-establishes itself inside get and write when it is
// lost; the stream above only sees the final result of each call.
//
// Get and write may run on two threads at once (a link's reader and writer), so the record's
// descriptor and flags are guarded by its own mutex; no call holds it while waiting.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>

#include "aStream.h"
#include "aTime.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kConnected = 1u << 0;
constexpr unsigned long kCloseSettleMs = 10;
// A blocking connect to a host that does not answer can take minutes; bound it.
constexpr int kConnectTimeoutMs = 2000;
constexpr int kWriteAttempts = 10;
constexpr int kWriteRetryWaitMs = 60;

struct aSocketStream {
  uint16_t port = 0;
  struct sockaddr_in address = {};
  int socket = -1;
  uint32_t flags = 0;
  uint16_t check = kSocketCheck;
  std::mutex mutex;
  aStreamRef stream = nullptr;  // for marking breaks in the byte stream
};

aSocketStream* record(void* ref) {
  aSocketStream* socket = static_cast<aSocketStream*>(ref);
  return socket != nullptr && socket->check == kSocketCheck ? socket : nullptr;
}

bool connected(const aSocketStream& socket) { return (socket.flags & kConnected) != 0; }

bool connectionLost(int error) { return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT; }

void closeSocket(aSocketStream& socket) {
  socket.flags &= ~kConnected;
  if (socket.socket >= 0) close(socket.socket);
  socket.socket = -1;
}

aErr connectError(int error) {
  switch (error) {
    case ETIMEDOUT:
    case ECONNREFUSED:
    case EWOULDBLOCK:
    case ECONNRESET:
      return aErrConnection;
    default:
      return aErrIO;
  }
}

// Connects a non-blocking socket, waiting at most kConnectTimeoutMs; 0 or the errno.
int connectBounded(int fd, const struct sockaddr_in& address) {
  if (connect(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  struct pollfd waiting = {fd, POLLOUT, 0};
  int ready = poll(&waiting, 1, kConnectTimeoutMs);
  if (ready == 0) return ETIMEDOUT;
  if (ready < 0) return errno;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

bool setOptions(int fd) {
  int on = 1;
  struct timeval noTimeout = {0, 0};
  struct linger resetOnClose = {1, 0};
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) == 0;
}

// Opens (or re-opens) the connection. Called with the record's mutex held.
aErr sSocketStreamReset(aSocketStream& socket) {
  if (socket.socket >= 0) {
    closeSocket(socket);
    aStream_NoteDiscontinuity(socket.stream);
    aTime_MSSleep(kCloseSettleMs);
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return aErrIO;
  int error = connectBounded(fd, socket.address);
  if (error != 0) {
    close(fd);
    return connectError(error);
  }
  socket.socket = fd;
  socket.flags |= kConnected;
  if (!setOptions(fd)) {
    closeSocket(socket);
    return aErrIO;
  }
  return aErrNone;
}

// Reconnects after a lost connection; the result of the reconnect.
aErr reconnect(aSocketStream& socket) {
  socket.flags &= ~kConnected;
  return sSocketStreamReset(socket);
}

ssize_t peekOne(const aSocketStream& socket, uint8_t* byte) {
  return recv(socket.socket, byte, 1, MSG_PEEK | MSG_DONTWAIT);
}

aErr receiveOne(const aSocketStream& socket, uint8_t* out) {
  ssize_t count = recv(socket.socket, out, 1, MSG_DONTWAIT);
  if (count == 1) return aErrNone;
  if (count == 0) return aErrNotReady;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return aErrEOF;
  if (connectionLost(errno)) return aErrNotReady;
  return aErrIO;
}

aErr socketGet(uint8_t* out, void* ref) {
  aSocketStream* socket = record(ref);
  if (socket == nullptr || out == nullptr) return aErrParam;
  std::lock_guard<std::mutex> lock(socket->mutex);
  if (!connected(*socket)) return aErrConnection;
  uint8_t byte;
  ssize_t count = peekOne(*socket, &byte);
  // A peek of 0 bytes is the peer closing its end: the connection is gone, not merely idle.
  if (count == 0 || (count < 0 && connectionLost(errno))) {
    aErr result = reconnect(*socket);
    if (result != aErrNone) return result;
    count = peekOne(*socket, &byte);
    if (count <= 0) return aErrNotReady;
  } else if (count < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK ? aErrNotReady : aErrConnection;
  }
  return receiveOne(*socket, out);
}

aErr socketReady(unsigned timeoutMs, void* ref) {
  aSocketStream* socket = record(ref);
  if (socket == nullptr) return aErrParam;
  int fd;
  {
    std::lock_guard<std::mutex> lock(socket->mutex);
    if (!connected(*socket)) return aErrNone;  // let get report it
    fd = socket->socket;
  }
  // Should the other thread reconnect meanwhile, this waits on the old socket at most timeoutMs.
  struct pollfd waiting = {fd, POLLIN, 0};
  return poll(&waiting, 1, static_cast<int>(timeoutMs)) > 0 ? aErrNone : aErrNotReady;
}

void awaitWritable(aSocketStream& socket, std::unique_lock<std::mutex>& lock) {
  struct pollfd waiting = {socket.socket, POLLOUT, 0};
  lock.unlock();
  if (waiting.fd >= 0) {
    poll(&waiting, 1, kWriteRetryWaitMs);
  } else {
    aTime_MSSleep(kWriteRetryWaitMs);
  }
  lock.lock();
}

aErr socketWrite(const uint8_t* data, size_t length, void* ref) {
  aSocketStream* socket = record(ref);
  if (socket == nullptr || data == nullptr) return aErrParam;
  std::unique_lock<std::mutex> lock(socket->mutex);
  if (!connected(*socket)) return aErrConnection;
  const uint8_t* const block = data;
  const size_t blockLength = length;
  int attempts = 0;
  while (length > 0) {
    ssize_t sent = send(socket->socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data += sent;
      length -= static_cast<size_t>(sent);
      if (length == 0) break;
      attempts = 1;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      ++attempts;
    } else if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
      aErr result = reconnect(*socket);
      if (result != aErrNone) return result;
      // The new connection must not start with the tail of a frame sent on the old one.
      data = block;
      length = blockLength;
      ++attempts;
    } else {
      return aErrIO;
    }
    // A peer that stopped reading gets a bounded number of chances, then the write gives up.
    if (attempts >= kWriteAttempts) return aErrWrite;
    awaitWritable(*socket, lock);
    if (!connected(*socket)) return aErrConnection;
  }
  return aErrNone;
}

aErr socketPut(const uint8_t* byte, void* ref) { return socketWrite(byte, 1, ref); }

aErr socketDelete(void* ref) {
  aSocketStream* socket = record(ref);
  if (socket == nullptr) return aErrParam;
  {
    std::lock_guard<std::mutex> lock(socket->mutex);
    closeSocket(*socket);
    socket->check = 0;
  }
  delete socket;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  aSocketStream* socket = new (std::nothrow) aSocketStream;
  if (socket == nullptr) return aErrMemory;
  socket->port = port;
  socket->address.sin_family = AF_INET;
  socket->address.sin_port = htons(port);
  socket->address.sin_addr.s_addr = ipAddress;
  aErr result;
  {
    std::lock_guard<std::mutex> lock(socket->mutex);
    result = sSocketStreamReset(*socket);
  }
  if (result == aErrNone) *stream = aStream_Create(socketGet, socketPut, socketWrite, socketDelete, socket);
  if (*stream == nullptr) {
    socketDelete(socket);
    return aErrResource;
  }
  {
    std::lock_guard<std::mutex> lock(socket->mutex);
    socket->stream = *stream;
  }
  return aStream_SetReadyProc(*stream, socketReady);
}
