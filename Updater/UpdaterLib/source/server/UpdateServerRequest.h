#pragma once
#include <map>
#include <string>
#include <string_view>

#include "firmware/BirdFile.h"

// The update server's queries. Each is one GET of the base URL with a query string, answered by a
// plain-text body whose first line begins with "ok". Nothing here prints to the console: failures
// are logged under DEBUG_ServerComm and returned as false, with the cause in *cause when cause is
// not null ("HTTP status 500", "no answer from the update server within 4 s"); callers tell the
// user.
class UpdateServerRequest {
 public:
  // Used when a request is given no URL; the same as the command line's default (app/AppInfo.h).
  static constexpr const char* default_url = "http://updates.example.invalid:8080/cgi/u";
  // Every query but GetBuild (the build image) ends within this, answered or not.
  static constexpr long QUERY_TIMEOUT_MS = 4000;

  // The largest reply to GetBuild that can hold a valid build: the Base64 text of the largest
  // bird file that is read (BirdFile::MAX_FILE_SIZE, 65 MiB: a 64 MiB block list and its zlib
  // overhead), 4 characters for every 3 bytes, and 4 KiB for the "ok" line and the line ends:
  // 90 880 684 bytes (86.7 MiB). A longer reply, declared or received, is refused at once.
  static constexpr size_t MAX_BUILD_REPLY_BYTES = 4 * ((BirdFile::MAX_FILE_SIZE + 2) / 3) + 4096;
  // The build image must average BUILD_MIN_BYTES_PER_S from BUILD_RATE_GRACE_S on (besides the
  // client's floor of 1 KB/s over 20 s): a server trickling just above that floor ends after
  // about 32 s, and no download outlasts BUILD_TIMEOUT_MS, the time the largest valid reply takes
  // at that rate (5 577 s, 93 min).
  static constexpr long BUILD_MIN_BYTES_PER_S = 16 * 1024;
  static constexpr long BUILD_RATE_GRACE_S = 30;
  static constexpr long BUILD_TIMEOUT_MS =
      (BUILD_RATE_GRACE_S + static_cast<long>(MAX_BUILD_REPLY_BYTES / BUILD_MIN_BYTES_PER_S) + 1) * 1000;

  [[nodiscard]] static bool ping(const char* url, std::string* cause = nullptr);
  [[nodiscard]] static bool QueryBuild(unsigned int serial, std::string& build, std::string& firmware,
                                       const char* url, std::string* cause = nullptr);
  [[nodiscard]] static bool GetBuild(unsigned int serial, const char* fw, const char* bld, std::string& content,
                                     const char* url, bool no_cal, std::string* cause = nullptr);
  [[nodiscard]] static bool GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds,
                                         const char* url, std::string* cause = nullptr);
  [[nodiscard]] static bool GetRecoveryInfo(const unsigned int* fingerprint, unsigned int* serial,
                                            unsigned int* build, const char* url, std::string* cause = nullptr);

  // Decoding of a reply body that arrived with status 200, apart from the transport so that it can
  // be checked and fuzzed on its own. Each returns false when the first line does not begin with
  // "ok" (out-parameters untouched); otherwise it fills what the reply holds and returns true.
  // Text after a zero byte in the body is not looked at.
  [[nodiscard]] static bool DecodeOk(std::string_view body);
  [[nodiscard]] static bool DecodeQueryBuild(std::string_view body, std::string& build, std::string& firmware);
  [[nodiscard]] static bool DecodeGetBuild(std::string_view body, std::string& content);
  [[nodiscard]] static bool DecodeBuildList(std::string_view body, std::map<std::string, std::string>& builds);
  // Also false when line 2 or 3 holds a number that does not fit 32 bits (outputs untouched).
  [[nodiscard]] static bool DecodeRecoveryInfo(std::string_view body, unsigned int& serial, unsigned int& build);
};
