#include "server/UpdateServerRequest.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>

#include "Log.h"
#include "server/HTTPRequest.h"
#include "support/NumberText.h"
#include "support/PrintableText.h"

namespace {

using Params = std::map<std::string, std::string>;

constexpr std::string_view kLineSeparators = "\n";
constexpr std::string_view kFirmwareSeparators = "\r\n";
constexpr std::string_view kBuildFieldSeparators = ";\r\n";
constexpr size_t kShortestBuildEntry = 3;
constexpr size_t kQuotedReplyChars = 60;
constexpr size_t kQuotedReasonChars = 200;

// Cuts text into tokens: runs of separators count as one and leading separators are skipped, so
// an empty token never comes out. The separator that ends a token is used up with it.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : rest(text) {}

  bool next(std::string_view separators, std::string_view* token) {
    size_t start = rest.find_first_not_of(separators);
    if (start == std::string_view::npos) {
      rest = {};
      return false;
    }
    size_t end = rest.find_first_of(separators, start);
    if (end == std::string_view::npos) {
      *token = rest.substr(start);
      rest = {};
    } else {
      *token = rest.substr(start, end - start);
      rest = rest.substr(end + 1);
    }
    return true;
  }

 private:
  std::string_view rest;
};

// The body as the zero-terminated text it is read as.
std::string_view bodyText(std::string_view body) {
  size_t zero = body.find('\0');
  return zero == std::string_view::npos ? body : body.substr(0, zero);
}

int printable(std::string_view text) { return text.size() > INT32_MAX ? INT32_MAX : static_cast<int>(text.size()); }

// Line 1 exists and begins with "ok"; only two characters are compared.
bool firstLineOk(Tokenizer& lines) {
  std::string_view first;
  return lines.next(kLineSeparators, &first) && first.substr(0, 2) == "ok";
}

std::string serialText(unsigned int serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

const char* baseUrl(const char* url) { return url ? url : UpdateServerRequest::default_url; }

void setCause(std::string* cause, std::string text) {
  if (cause != nullptr) *cause = std::move(text);
}

// The bounds of a small query (all but the build image).
HTTPRequest::Bounds queryBounds() {
  HTTPRequest::Bounds bounds{HTTPResponse::DEFAULT_MAX_BODY};
  bounds.totalTimeoutMs = UpdateServerRequest::QUERY_TIMEOUT_MS;
  return bounds;
}

// The bounds of the build image, from what a valid build can be.
HTTPRequest::Bounds buildBounds() {
  HTTPRequest::Bounds bounds{UpdateServerRequest::MAX_BUILD_REPLY_BYTES};
  bounds.totalTimeoutMs = UpdateServerRequest::BUILD_TIMEOUT_MS;
  bounds.minAverageBytesPerS = UpdateServerRequest::BUILD_MIN_BYTES_PER_S;
  bounds.averageGraceS = UpdateServerRequest::BUILD_RATE_GRACE_S;
  return bounds;
}

// One query with the failures every request shares: a transport error and a status other than
// 200. Returns the reply only when it arrived with status 200.
std::optional<HTTPResponse> fetch(const char* name, const char* url, const Params& params, std::string* cause,
                                  bool isPing = false, const HTTPRequest::Bounds& bounds = queryBounds()) {
  try {
    HTTPResponse response = HTTPRequest::GET(baseUrl(url), params, bounds);
    if (response.get_status() == 200) return response;
    int status = static_cast<int>(response.get_status());
    setCause(cause, "HTTP status " + std::to_string(status));
    if (isPing) {
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", status, response.get_response());
    } else {
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, status, response.get_response());
    }
  } catch (const HTTPError& error) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, error.what());
    setCause(cause, error.cause());
  } catch (const std::exception& error) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, error.what());
    setCause(cause, error.what());
  }
  return std::nullopt;
}

std::string_view withoutCarriageReturn(std::string_view line) {
  return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

// Why a reply that arrived with status 200 was not taken. A refusal ("error") names its reason on
// the next line: that line is shown, made printable and cut.
std::string refusalCause(std::string_view body) {
  if (UpdateServerRequest::DecodeOk(body)) return "the update server's reply holds a number that does not fit 32 bits";
  Tokenizer lines(bodyText(body));
  std::string_view first;
  if (!lines.next(kLineSeparators, &first)) return "the update server's reply is empty";
  std::string_view reason;
  if (withoutCarriageReturn(first) == "error" && lines.next(kLineSeparators, &reason)) {
    reason = withoutCarriageReturn(reason);
    if (!reason.empty()) {
      return "the update server answered \"error\": " + PrintableText(reason.substr(0, kQuotedReasonChars)) +
             (reason.size() > kQuotedReasonChars ? "..." : "");
    }
  }
  std::string quoted = PrintableText(first.substr(0, kQuotedReplyChars));
  return "the update server answered \"" + quoted + (first.size() > kQuotedReplyChars ? "...\"" : "\"") +
         " instead of \"ok\"";
}

bool refused(const char* name, const HTTPResponse& response, std::string* cause) {
  Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
  setCause(cause, refusalCause(response.body()));
  return false;
}

// A number of line 2 or 3 of a recovery reply; false when it does not fit 32 bits.
bool readRecoveryNumber(std::string_view line, int base, unsigned int* out) {
  uint64_t value = 0;
  bool read = ReadUnsignedNumber(line, base, &value);
  if (read && value > UINT32_MAX) {
    Log::log(DEBUG_ServerComm, "GetRecoveryInfo: number out of range [%.20s]\n",
             std::string(line.substr(0, 20)).c_str());
    return false;
  }
  *out = static_cast<unsigned int>(value);  // no digits read as 0, as the server's texts always were
  return true;
}

}  // namespace

bool UpdateServerRequest::DecodeOk(std::string_view body) {
  Tokenizer lines(bodyText(body));
  return firstLineOk(lines);
}

bool UpdateServerRequest::DecodeQueryBuild(std::string_view body, std::string& build, std::string& firmware) {
  Tokenizer lines(bodyText(body));
  if (!firstLineOk(lines)) return false;
  std::string_view token;
  if (lines.next(kLineSeparators, &token)) build.assign(token);
  if (lines.next(kFirmwareSeparators, &token)) firmware.assign(token);
  return true;
}

namespace {

// The image line of a build reply (empty when there is none); false when line 1 is not "ok".
bool findImageLine(std::string_view body, std::string_view* image) {
  Tokenizer lines(bodyText(body));
  if (!firstLineOk(lines)) return false;
  if (!lines.next(kLineSeparators, image)) *image = {};
  return true;
}

}  // namespace

bool UpdateServerRequest::DecodeGetBuild(std::string_view body, std::string& content) {
  std::string_view image;
  if (!findImageLine(body, &image)) return false;
  content.assign(image);
  return true;
}

bool UpdateServerRequest::DecodeBuildList(std::string_view body, std::map<std::string, std::string>& builds) {
  static const char* const name = "GetBuildList";
  Tokenizer lines(bodyText(body));
  if (!firstLineOk(lines)) return false;
  std::string_view line;
  while (lines.next(kLineSeparators, &line)) {
    if (line.size() < kShortestBuildEntry) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%.*s]\n", name, printable(line), line.data());
    Tokenizer fields(line);
    std::string_view build;
    std::string_view version;
    if (!fields.next(kBuildFieldSeparators, &build)) continue;
    if (!fields.next(kBuildFieldSeparators, &version)) version = {};
    // A build number already listed keeps its first version text.
    builds.emplace(std::string(build), std::string(version));
    Log::log(DEBUG_ServerComm, "%s [%.*s][%.*s]\n", name, printable(build.substr(0, 10)), build.data(),
             printable(version.substr(0, 10)), version.data());
  }
  return true;
}

bool UpdateServerRequest::DecodeRecoveryInfo(std::string_view body, unsigned int& serial, unsigned int& build) {
  Tokenizer lines(bodyText(body));
  std::string_view first;
  if (!lines.next(kLineSeparators, &first) || first.substr(0, 2) != "ok") return false;
  std::string_view serialLine;
  std::string_view buildLine;
  bool hasSerial = lines.next(kLineSeparators, &serialLine);
  bool hasBuild = lines.next(kLineSeparators, &buildLine);
  Log::log(DEBUG_ServerComm, "%s [%.*s][%.*s][%.*s]\n", "GetRecoveryInfo", printable(first.substr(0, 20)),
           first.data(), printable(serialLine.substr(0, 20)), serialLine.data(),
           printable(buildLine.substr(0, 20)), buildLine.data());
  unsigned int newSerial = serial;
  unsigned int newBuild = build;
  if (hasSerial && !readRecoveryNumber(serialLine, 16, &newSerial)) return false;
  if (hasBuild && !readRecoveryNumber(buildLine, 0, &newBuild)) return false;
  serial = newSerial;
  build = newBuild;
  return true;
}

bool UpdateServerRequest::ping(const char* url, std::string* cause) {
  std::optional<HTTPResponse> response = fetch("ping", url, {{"op", "hi"}, {"rv", "2"}}, cause, true);
  if (!response) return false;
  return DecodeOk(response->body()) || refused("ping", *response, cause);
}

bool UpdateServerRequest::QueryBuild(unsigned int serial, std::string& build, std::string& firmware, const char* url,
                                     std::string* cause) {
  std::optional<HTTPResponse> response = fetch("QueryBuild", url, {{"op", "qu"}, {"sn", serialText(serial)}}, cause);
  if (!response) return false;
  return DecodeQueryBuild(response->body(), build, firmware) || refused("QueryBuild", *response, cause);
}

bool UpdateServerRequest::GetBuild(unsigned int serial, const char* fw, const char* bld, std::string& content,
                                   const char* url, bool no_cal, std::string* cause) {
  Params params{{"op", "bird"},
                {"sn", serialText(serial)},
                {"fw", fw ? fw : ""},
                {"bld", bld ? bld : ""},
                {"no_cal", no_cal ? "true" : "false"}};
  std::optional<HTTPResponse> response = fetch("GetBuild", url, params, cause, false, buildBounds());
  if (!response) return false;
  // The image is most of the body: cut the body down to it and hand it over, never copying it.
  std::string& body = response->body();
  std::string_view image;
  if (!findImageLine(body, &image)) return refused("GetBuild", *response, cause);
  if (image.empty()) {
    content.clear();
    return true;
  }
  const size_t start = static_cast<size_t>(image.data() - body.data());
  const size_t length = image.size();
  body.erase(start + length);
  body.erase(0, start);
  content = std::move(body);
  return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds,
                                       const char* url, std::string* cause) {
  builds.clear();
  std::optional<HTTPResponse> response =
      fetch("GetBuildList", url, {{"op", "builds"}, {"sn", serialText(serial)}}, cause);
  if (!response) return false;
  return DecodeBuildList(response->body(), builds) || refused("GetBuildList", *response, cause);
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned int* fingerprint, unsigned int* serial, unsigned int* build,
                                          const char* url, std::string* cause) {
  if (fingerprint == nullptr || serial == nullptr || build == nullptr) return false;
  char words[64];
  snprintf(words, sizeof words, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
           fingerprint[3]);
  std::optional<HTTPResponse> response =
      fetch("GetRecoveryInfo", url, {{"op", "fix"}, {"fp", words}, {"brief", "true"}}, cause);
  if (!response) return false;
  return DecodeRecoveryInfo(response->body(), *serial, *build) || refused("GetRecoveryInfo", *response, cause);
}
