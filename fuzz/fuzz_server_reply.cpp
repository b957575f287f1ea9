// Fuzz target: the decoding of update server replies. Any byte sequence may arrive as a reply
// body; decoding must stay inside it and keep its promises about the outputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "server/UpdateServerRequest.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  bool ok = UpdateServerRequest::DecodeOk(body);

  std::string build = "b", firmware = "f";
  check(UpdateServerRequest::DecodeQueryBuild(body, build, firmware) == ok);
  if (!ok) check(build == "b" && firmware == "f");
  check(build.find('\n') == std::string::npos && firmware.find_first_of("\r\n") == std::string::npos);

  std::string content = "c";
  check(UpdateServerRequest::DecodeGetBuild(body, content) == ok);
  check(ok ? content.size() < size : content == "c");
  check(content.find('\n') == std::string::npos);

  std::map<std::string, std::string> builds;
  check(UpdateServerRequest::DecodeBuildList(body, builds) == ok);
  for (const auto& [number, version] : builds) {
    check(!number.empty() && number.find_first_of(";\r\n") == std::string::npos);
    check(version.find_first_of(";\r\n") == std::string::npos);
  }

  unsigned int serial = 5, buildNumber = 6;
  if (!UpdateServerRequest::DecodeRecoveryInfo(body, serial, buildNumber)) check(serial == 5 && buildNumber == 6);
  return 0;
}
