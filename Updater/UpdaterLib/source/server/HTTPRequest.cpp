#include "server/HTTPRequest.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>

#include "Log.h"

namespace {

constexpr size_t kLoggedChunkBytes = 100;

// curl_global_init is not safe to run twice at once; every GET passes through here first.
void ensureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Releases the easy handle on every way out of GET.
struct EasyHandle {
  CURL* curl = curl_easy_init();
  ~EasyHandle() {
    if (curl) curl_easy_cleanup(curl);
  }
};

CURLcode setTransferOptions(CURL* curl, HTTPResponse& response) {
  CURLcode code = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_URL, response.get_request());
  return code;
}

// The average-rate bound of a GET: after the grace, the body must have come at the rate.
struct AverageRate {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  long bytesPerS = 0;
  long graceS = 0;
  bool tooSlow = false;
  curl_off_t received = 0;
  long elapsedS = 0;
};

int checkAverageRate(void* context, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  AverageRate* rate = static_cast<AverageRate*>(context);
  const auto elapsed = std::chrono::steady_clock::now() - rate->start;
  const long seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
  if (seconds < rate->graceS) return 0;
  const double expected = std::chrono::duration<double>(elapsed).count() * static_cast<double>(rate->bytesPerS);
  if (static_cast<double>(received) >= expected) return 0;
  rate->tooSlow = true;
  rate->received = received;
  rate->elapsedS = seconds;
  return 1;  // ends the transfer
}

CURLcode setAverageRateOptions(CURL* curl, AverageRate& rate) {
  CURLcode code = curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, checkAverageRate);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &rate);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  return code;
}

// The bounds that keep a silent or endless server from holding the program.
CURLcode setSafetyOptions(CURL* curl, size_t maxBody) {
  // Transfers run on a worker thread: time-outs must not use signals.
  CURLcode code = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, HTTPRequest::CONNECT_TIMEOUT_S);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, HTTPRequest::LOW_SPEED_BYTES_PER_S);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, HTTPRequest::LOW_SPEED_TIME_S);
  // A declared length over the bound is refused before the body is read.
  if (code == CURLE_OK) {
    code = curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBody));
  }
  // The update server speaks HTTP; nothing else (files, mail, ...) is reached through -u.
#if LIBCURL_VERSION_NUM >= 0x075500
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
  return code;
}

// The certificates an https server is checked against: the file CURL_CA_BUNDLE names, else the
// one SSL_CERT_FILE names (the order in which curl reads them), else the system's. The peer and
// its host name are always checked; a private CA is trusted by naming a file that holds it.
CURLcode setTrustOptions(CURL* curl) {
  CURLcode code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  for (const char* variable : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    const char* bundle = getenv(variable);
    if (bundle == nullptr || bundle[0] == '\0') continue;
    Log::log(DEBUG_ServerComm, "HTTPRequest: trusting the certificates of %s (from %s)\n", bundle, variable);
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_CAINFO, bundle);
    break;
  }
  return code;
}

bool wasConnected(CURL* curl) {
  curl_off_t connectMicroseconds = 0;
  return curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectMicroseconds) == CURLE_OK && connectMicroseconds > 0;
}

// What the user is told about a failed transfer: the bound that ended it, or the HTTP client's
// account of this exchange (errorBuffer), or its general text for the code. totalTimeoutMs: the
// total bound when it was the one reached (else 0); then a time-out after the connection was made
// is the low-speed bound.
std::string transferCause(CURLcode code, const char* errorBuffer, long totalTimeoutMs, bool connected) {
  if (code == CURLE_OPERATION_TIMEDOUT && totalTimeoutMs > 0) {
    return "no answer from the update server within " + std::to_string(totalTimeoutMs / 1000) + " s";
  }
  if (code == CURLE_OPERATION_TIMEDOUT && connected) {
    return "less than " + std::to_string(HTTPRequest::LOW_SPEED_BYTES_PER_S) + " bytes a second from the update "
           "server for " + std::to_string(HTTPRequest::LOW_SPEED_TIME_S) + " s";
  }
  if (errorBuffer != nullptr && errorBuffer[0] != '\0') return errorBuffer;
  return curl_easy_strerror(code);
}

[[noreturn]] void throwTransferError(CURLcode code, const HTTPResponse& response, const char* errorBuffer = nullptr,
                                     long totalTimeoutMs = 0, bool connected = false,
                                     const AverageRate* rate = nullptr) {
  if (rate != nullptr && rate->tooSlow) {
    const std::string cause = "the update server sent " + std::to_string(static_cast<long long>(rate->received)) +
                              " bytes in " + std::to_string(rate->elapsedS) + " s, less than " +
                              std::to_string(rate->bytesPerS) + " bytes a second on average";
    throw HTTPError("Transfer too slow", cause);
  }
  if (response.overflowed() || code == CURLE_FILESIZE_EXCEEDED) {
    const std::string limit = std::to_string(response.max_body());
    throw HTTPError("Reply body exceeds " + limit + " bytes", "reply body exceeds " + limit + " bytes");
  }
  throw HTTPError(curl_easy_strerror(code), transferCause(code, errorBuffer, totalTimeoutMs, connected));
}

}  // namespace

HTTPResponse::HTTPResponse(std::string url, size_t limit) : request(std::move(url)), maxBody(limit) {}

bool HTTPResponse::process(const char* data, size_t length) {
  if (length > maxBody - (response.size() + incoming.size())) {
    tooLong = true;
    return false;
  }
  return incoming.append(data, length);
}

const std::string& HTTPResponse::body() const {
  if (incoming.size() != 0) incoming.moveInto(response);
  return response;
}

std::string& HTTPResponse::body() {
  if (incoming.size() != 0) incoming.moveInto(response);
  return response;
}

size_t _rcv_data(void* data, size_t size, size_t count, void* context) {
  HTTPResponse* response = static_cast<HTTPResponse*>(context);
  if (size != 0 && count > SIZE_MAX / size) return 0;
  size_t length = size * count;
  int shown = static_cast<int>(length < kLoggedChunkBytes ? length : kLoggedChunkBytes);
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%.*s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(context)), shown,
           static_cast<const char*>(data));
  if (!response->process(static_cast<const char*>(data), length)) {
    Log::log(DEBUG_ServerComm, "rcv_data refuses the reply: more than %zu bytes\n", response->max_body());
    return 0;
  }
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
  return length;
}

std::string HTTPRequest::BuildURL(const char* url, const std::map<std::string, std::string>& params) {
  std::string full = url ? url : "";
  if (params.empty()) return full;
  full += '?';
  for (const auto& [key, value] : params) {
    full += key;
    full += '=';
    full += value;
    full += '&';
  }
  return full;
}

HTTPResponse HTTPRequest::GET(const char* url, const std::map<std::string, std::string>& params, size_t maxBody,
                              long totalTimeoutMs) {
  Bounds bounds{maxBody};
  bounds.totalTimeoutMs = totalTimeoutMs;
  return GET(url, params, bounds);
}

HTTPResponse HTTPRequest::GET(const char* url, const std::map<std::string, std::string>& params,
                              const Bounds& bounds) {
  ensureCurlInitialised();
  char errorBuffer[CURL_ERROR_SIZE] = {};  // outlives the handle that writes into it
  EasyHandle handle;
  HTTPResponse response(BuildURL(url, params), bounds.maxBody);
  if (handle.curl == nullptr) throw HTTPError("Could not create curl instance", "could not create an HTTP client");

  AverageRate rate;
  rate.bytesPerS = bounds.minAverageBytesPerS;
  rate.graceS = bounds.averageGraceS;
  CURLcode code = setTransferOptions(handle.curl, response);
  if (code == CURLE_OK) code = setSafetyOptions(handle.curl, bounds.maxBody);
  if (code == CURLE_OK) code = setTrustOptions(handle.curl);
  if (code == CURLE_OK && bounds.totalTimeoutMs > 0) {
    code = curl_easy_setopt(handle.curl, CURLOPT_TIMEOUT_MS, bounds.totalTimeoutMs);
  }
  if (code == CURLE_OK && bounds.minAverageBytesPerS > 0) code = setAverageRateOptions(handle.curl, rate);
  if (code == CURLE_OK) code = curl_easy_setopt(handle.curl, CURLOPT_ERRORBUFFER, errorBuffer);
  if (code != CURLE_OK) throwTransferError(code, response);

  Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
  code = curl_easy_perform(handle.curl);
  long status = 0;
  if (code == CURLE_OK) code = curl_easy_getinfo(handle.curl, CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK) {
    const bool connected = wasConnected(handle.curl);
    const long elapsedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - rate.start).count());
    const bool totalBoundUp =
        code == CURLE_OPERATION_TIMEDOUT && TotalBoundEnded(bounds.totalTimeoutMs, elapsedMs, connected);
    throwTransferError(code, response, errorBuffer, totalBoundUp ? bounds.totalTimeoutMs : 0, connected,
                       &rate);
  }
  response.set_status(status);
  return response;
}

bool HTTPRequest::TotalBoundEnded(long totalTimeoutMs, long elapsedMs, bool connected) {
  if (totalTimeoutMs <= 0) return false;
  // The low-speed floor cannot end a transfer before LOW_SPEED_TIME_S has passed.
  const long otherBoundMs = (connected ? LOW_SPEED_TIME_S : CONNECT_TIMEOUT_S) * 1000;
  if (totalTimeoutMs <= otherBoundMs) return true;
  return connected && elapsedMs >= totalTimeoutMs;
}
