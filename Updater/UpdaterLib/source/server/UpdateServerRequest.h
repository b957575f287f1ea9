#pragma once
#include <map>
#include <string>
#include <string_view>

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
