#pragma once
// A one-thread HTTP server on 127.0.0.1 for tests of the update server client. It answers a
// request with the reply set for its "op" value, else with the reply set last, and records the
// request targets it received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class LocalHttpServer {
 public:
  enum class Framing {
    Length,       // Content-Length matches the body
    CloseEnds,    // no Content-Length: the body ends when the connection closes
    CutShort,     // Content-Length promises more than is sent, then the connection closes
  };
  struct Reply {
    int status = 200;
    std::string body;
    Framing framing = Framing::Length;
    int delayMs = 0;  // wait this long before answering
  };

  LocalHttpServer() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      close(listener);
      throw std::runtime_error("bind/listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    worker = std::thread([this] { serve(); });
  }

  ~LocalHttpServer() {
    stopping = true;
    worker.join();
    close(listener);
  }

  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  std::string url(const char* path = "/cgi/u") const { return "http://127.0.0.1:" + std::to_string(port) + path; }

  void set(Reply next) {
    std::lock_guard<std::mutex> lock(mutex);
    reply = std::move(next);
  }
  void set(int status, std::string body, Framing framing = Framing::Length) {
    set(Reply{status, std::move(body), framing, 0});
  }
  // The reply to requests whose query holds "op=<op>&".
  void setFor(const std::string& op, Reply next) {
    std::lock_guard<std::mutex> lock(mutex);
    replies[op] = std::move(next);
  }

  std::vector<std::string> targets() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
  }

 private:
  static constexpr int kPollMs = 50;
  static constexpr int kRequestWaitMs = 5000;
  static constexpr size_t kMaxRequestBytes = 64 * 1024;

  int listener = -1;
  unsigned short port = 0;
  std::atomic<bool> stopping{false};
  std::thread worker;
  mutable std::mutex mutex;
  Reply reply;
  std::map<std::string, Reply> replies;
  std::vector<std::string> received;

  void serve() {
    while (!stopping) {
      pollfd waiting{listener, POLLIN, 0};
      if (poll(&waiting, 1, kPollMs) <= 0) continue;
      int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      answer(connection);
      close(connection);
    }
  }

  // The request head, read until its blank line; empty when it does not come in time.
  static std::string readHead(int connection) {
    std::string head;
    char chunk[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestBytes) {
      pollfd waiting{connection, POLLIN, 0};
      if (poll(&waiting, 1, kRequestWaitMs) <= 0) return {};
      ssize_t got = recv(connection, chunk, sizeof chunk, 0);
      if (got <= 0) return {};
      head.append(chunk, static_cast<size_t>(got));
    }
    return head;
  }

  static void sendAll(int connection, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t put = send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (put <= 0) return;
      sent += static_cast<size_t>(put);
    }
  }

  void answer(int connection) {
    std::string head = readHead(connection);
    size_t firstSpace = head.find(' ');
    size_t secondSpace = head.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos) return;
    Reply now;
    {
      std::lock_guard<std::mutex> lock(mutex);
      std::string target = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);
      received.push_back(target);
      now = reply;
      for (const auto& [op, special] : replies) {
        if (target.find("op=" + op + "&") != std::string::npos) now = special;
      }
    }
    if (now.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(now.delayMs));
    std::string out = "HTTP/1.0 " + std::to_string(now.status) + " Reply\r\nContent-Type: text/plain\r\n";
    if (now.framing == Framing::Length) out += "Content-Length: " + std::to_string(now.body.size()) + "\r\n";
    if (now.framing == Framing::CutShort) out += "Content-Length: " + std::to_string(now.body.size() + 100) + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += now.body;
    sendAll(connection, out);
    shutdown(connection, SHUT_WR);
  }
};
