#pragma once
// A scripted module on a TCP port of 127.0.0.1: it frames what the host sends (address, length,
// data), records every frame, answers the magic query with a zero-length packet from its own
// address, and answers every other frame with what the test's rule returns. Link start and stop
// frames are recorded but not answered. One thread serves all connections; every wait is bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class ScriptedModule {
 public:
  using Bytes = std::vector<uint8_t>;
  // Frames are wire bytes: address, length, data. A rule returns the frames to send back.
  using Rule = std::function<std::vector<Bytes>(const Bytes& frame)>;

  explicit ScriptedModule(uint8_t address) : address_(address) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = 0;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 && listen(listener_, 8) == 0) {
      socklen_t length = sizeof local;
      getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length);
      port_ = ntohs(local.sin_port);
    }
    thread_ = std::thread([this] { serve(); });
  }

  ~ScriptedModule() {
    stop_ = true;
    thread_.join();
    for (auto& client : clients_) close(client.first);
    close(listener_);
  }

  ScriptedModule(const ScriptedModule&) = delete;
  ScriptedModule& operator=(const ScriptedModule&) = delete;

  uint16_t port() const { return port_; }
  uint8_t address() const { return address_; }
  // The specifier of this module as TCP/IP discovery would give it.
  static uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

  void setRule(Rule rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rule_ = std::move(rule);
  }

  // Frames received so far, oldest first.
  std::vector<Bytes> frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

  // Frames received that are not link start/stop frames or magic queries.
  std::vector<Bytes> requests() {
    std::vector<Bytes> result;
    for (const Bytes& frame : frames()) {
      if (frame[0] != 0xAF && frame[0] != 0xAD) result.push_back(frame);
    }
    return result;
  }

  void clearFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
  }

  // Waits (at most timeoutMs) until `count` frames satisfying `accept` have arrived.
  bool waitFor(size_t count, int timeoutMs, std::function<bool(const Bytes&)> accept) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      size_t seen = 0;
      for (const Bytes& frame : frames_) seen += accept(frame) ? 1 : 0;
      return seen >= count;
    });
  }

  int connectionsAccepted() const { return accepted_; }
  int connectionsOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(clients_.size());
  }

  // Sends raw bytes on every open connection (for unsolicited packets).
  void sendToAll(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& client : clients_) sendAll(client.first, bytes);
  }

 private:
  struct Parser {
    Bytes frame;
  };

  static void sendAll(int fd, const Bytes& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  void serve() {
    while (!stop_) {
      std::vector<pollfd> fds;
      fds.push_back({listener_, POLLIN, 0});
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& client : clients_) fds.push_back({client.first, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      if (fds[0].revents & POLLIN) accept();
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readFrom(fds[i].fd);
      }
    }
  }

  void accept() {
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard<std::mutex> lock(mutex_);
    clients_[fd] = Parser{};
    ++accepted_;
  }

  void readFrom(int fd) {
    uint8_t chunk[512];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0) {
      close(fd);
      clients_.erase(fd);
      changed_.notify_all();
      return;
    }
    Parser& parser = clients_[fd];
    for (ssize_t i = 0; i < n; ++i) {
      parser.frame.push_back(chunk[i]);
      if (parser.frame.size() >= 2 && parser.frame.size() == static_cast<size_t>(parser.frame[1]) + 2) {
        handle(fd, parser.frame);
        parser.frame.clear();
      }
    }
  }

  // Called with the mutex held.
  void handle(int fd, const Bytes& frame) {
    frames_.push_back(frame);
    changed_.notify_all();
    if (frame[0] == 0xAF) return;
    if (frame[0] == 0xAD) {
      if (frame[1] == 0) sendAll(fd, Bytes{address_, 0});
      return;
    }
    if (!rule_) return;
    for (const Bytes& reply : rule_(frame)) sendAll(fd, reply);
  }

  const uint8_t address_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, Parser> clients_;
  std::vector<Bytes> frames_;
  Rule rule_;
  std::thread thread_;
};
