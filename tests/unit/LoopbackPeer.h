#pragma once
// A scripted TCP peer on 127.0.0.1 for transport and link-engine tests. It listens on an
// ephemeral port, accepts connections on demand, collects every byte the other side sends on a
// background thread and sends whatever the test tells it to. Every wait is bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class LoopbackPeer {
 public:
  using Bytes = std::vector<uint8_t>;

  LoopbackPeer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(listener_, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 4) != 0) {
      closeListener();
      return;
    }
    socklen_t size = sizeof address;
    getsockname(listener_, reinterpret_cast<struct sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }

  ~LoopbackPeer() {
    closeConnection();
    closeListener();
  }

  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  bool listening() const { return listener_ >= 0; }
  uint16_t port() const { return port_; }
  static uint32_t address() { return htonl(INADDR_LOOPBACK); }

  // Accepts the next connection (closing the current one first); false after timeoutMs.
  bool accept(int timeoutMs = 5000) {
    closeConnection();
    if (listener_ < 0) return false;
    struct pollfd waiting = {listener_, POLLIN, 0};
    if (poll(&waiting, 1, timeoutMs) <= 0) return false;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection_ = fd;
      closed_ = false;
    }
    stop_ = false;
    collector_ = std::thread([this, fd] { collect(fd); });
    return true;
  }

  // Closes the current connection in the ordinary way (the other side reads end of file).
  void closeConnection() {
    stop_ = true;
    if (collector_.joinable()) collector_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_ >= 0) close(connection_);
    connection_ = -1;
  }

  void closeListener() {
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
  }

  bool send(const Bytes& bytes) {
    int fd;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fd = connection_;
    }
    if (fd < 0) return false;
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t count = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (count <= 0) return false;
      sent += static_cast<size_t>(count);
    }
    return true;
  }

  // Waits until the bytes received since the last clearReceived() contain pattern.
  bool awaitReceived(const Bytes& pattern, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return contains(received_, pattern); });
  }

  // Waits until the other side has closed or reset the connection.
  bool awaitClosed(int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closed_; });
  }

  Bytes received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

  void clearReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
  }

  static bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
  }

  static size_t count(const Bytes& haystack, const Bytes& needle) {
    // Non-overlapping occurrences.
    size_t found = 0;
    for (auto at = haystack.begin();; at += static_cast<long>(needle.size())) {
      at = std::search(at, haystack.end(), needle.begin(), needle.end());
      if (at == haystack.end()) return found;
      ++found;
    }
  }

 private:
  void collect(int fd) {
    uint8_t buffer[512];
    while (!stop_) {
      struct pollfd waiting = {fd, POLLIN, 0};
      if (poll(&waiting, 1, 20) <= 0) continue;
      ssize_t count = recv(fd, buffer, sizeof buffer, 0);
      std::lock_guard<std::mutex> lock(mutex_);
      if (count <= 0) {
        closed_ = true;
        arrived_.notify_all();
        return;
      }
      received_.insert(received_.end(), buffer, buffer + count);
      arrived_.notify_all();
    }
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable arrived_;
  int connection_ = -1;
  bool closed_ = false;
  Bytes received_;
  std::atomic<bool> stop_{false};
  std::thread collector_;
};
