#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "server/ReplyBody.h"

// The result of one HTTP GET: the URL asked for, the status code and the reply body.
class HTTPResponse {
 public:
  // Replies longer than this count as failed requests: a build image is a few megabytes, and a
  // server that keeps sending must not fill the memory.
  static constexpr size_t DEFAULT_MAX_BODY = 256u * 1024u * 1024u;

  explicit HTTPResponse(std::string request, size_t maxBody = DEFAULT_MAX_BODY);

  void set_status(long status) { this->status = status; }
  // Appends length bytes to the body; refuses (false, nothing appended) past the body bound and
  // when no memory could be had for them.
  [[nodiscard]] bool process(const char* data, size_t length);
  // The body as zero-terminated text.
  const char* get_response() const { return body().c_str(); }
  const std::string& body() const;
  std::string& body();
  int64_t get_status() const { return status; }
  const char* get_request() const { return request.c_str(); }
  size_t max_body() const { return maxBody; }
  [[nodiscard]] bool overflowed() const { return tooLong; }

 private:
  std::string request;
  int64_t status = 0;
  // The body: what has been read as text so far, and the bytes that arrived since, still in the
  // pieces they arrived in (the text is made when the body is first read).
  mutable std::string response;
  mutable ReplyBody incoming;
  size_t maxBody;
  bool tooLong = false;
};

// Write callback of the HTTP client; context is the HTTPResponse being filled. Returns the
// number of bytes taken: all of them, or 0 (which aborts the transfer) past the body bound.
size_t _rcv_data(void* data, size_t size, size_t count, void* context);

// A GET that failed in transport. what() is the HTTP client's short error text; cause() tells the
// user what happened in this exchange ("Failed to connect to 127.0.0.1 port 9: Connection
// refused", "no answer from the update server within 4 s").
class HTTPError : public std::runtime_error {
 public:
  HTTPError(const std::string& what, std::string cause) : std::runtime_error(what), detail(std::move(cause)) {}
  const std::string& cause() const { return detail; }

 private:
  std::string detail;
};

class HTTPRequest {
 public:
  // Bounds on the transfer, so that a server that stops answering ends in an error: no
  // connection within CONNECT_TIMEOUT_S, or less than LOW_SPEED_BYTES_PER_S on average for
  // LOW_SPEED_TIME_S. A reply that trickles (a few bytes a second would keep a multi-megabyte
  // image coming for days) ends after LOW_SPEED_TIME_S; a slow real link (tens of KB/s) is never
  // cut.
  static constexpr long CONNECT_TIMEOUT_S = 15;
  static constexpr long LOW_SPEED_BYTES_PER_S = 1024;
  static constexpr long LOW_SPEED_TIME_S = 20;

  // Bounds of one GET besides the low-speed floor. maxBody: a longer body (declared or received)
  // fails the request. totalTimeoutMs: the whole exchange (0: no bound). minAverageBytesPerS: after
  // averageGraceS, the body must have averaged at least this many bytes a second since the
  // request began (0: no such bound).
  struct Bounds {
    size_t maxBody;
    long totalTimeoutMs = 0;
    long minAverageBytesPerS = 0;
    long averageGraceS = 0;
  };

  // base URL, then "?" and "key=value&" for every parameter in key order; nothing is escaped.
  static std::string BuildURL(const char* url, const std::map<std::string, std::string>& params);

  // One GET of the URL built from url and params. Throws HTTPError with the HTTP client's error
  // text on any transport failure, when the body exceeds maxBody, when the whole exchange
  // outlasts totalTimeoutMs (0: no bound on the total), and when the body arrives more slowly than
  // the bounds allow.
  static HTTPResponse GET(const char* url, const std::map<std::string, std::string>& params,
                          size_t maxBody = HTTPResponse::DEFAULT_MAX_BODY, long totalTimeoutMs = 0);
  static HTTPResponse GET(const char* url, const std::map<std::string, std::string>& params, const Bounds& bounds);

  // Whether a transfer that timed out after elapsedMs was ended by its total bound rather than by
  // the connection bound (connected false) or the low-speed floor (connected true): of the bounds
  // that could have ended it, the one due first. The HTTP client reads its clock less often than
  // we do and may judge a bound up a little before our clock says so: the order of the bounds
  // decides wherever it can, not a comparison of two clocks.
  static bool TotalBoundEnded(long totalTimeoutMs, long elapsedMs, bool connected);
};
