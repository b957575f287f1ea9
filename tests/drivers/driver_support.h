#pragma once
// Helpers shared by the test drivers: a guard that keeps network discovery inside the private
// network namespace of sim/netns_run.sh, and one-line JSON output for the Python tests.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "aLinkSpec.h"

namespace driver {

// True only inside the namespace whose inode the harness exported: multicast sent there never
// reaches the machine's own interfaces.
inline bool insidePrivateNamespace() {
  const char* expected = getenv("HALYARD_NETNS_INODE");
  if (expected == nullptr || *expected == '\0') return false;
  char* end = nullptr;
  unsigned long long inode = strtoull(expected, &end, 10);
  if (*end != '\0') return false;
  struct stat own {};
  return stat("/proc/self/ns/net", &own) == 0 && static_cast<unsigned long long>(own.st_ino) == inode;
}

class Json {
 public:
  Json& field(const char* name, long long value) {
    key(name);
    text += std::to_string(value);
    return *this;
  }
  Json& field(const char* name, bool value) {
    key(name);
    text += value ? "true" : "false";
    return *this;
  }
  Json& field(const char* name, const std::string& value) {
    key(name);
    quote(value);
    return *this;
  }
  Json& field(const char* name, const char* value) { return field(name, std::string(value)); }
  // A value that is already JSON (an object or an array).
  Json& raw(const char* name, const std::string& json) {
    key(name);
    text += json;
    return *this;
  }
  std::string str() const { return "{" + text + "}"; }
  void print() const {
    std::string line = str();
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }

 private:
  void key(const char* name) {
    if (!text.empty()) text += ",";
    quote(name);
    text += ":";
  }
  void quote(const std::string& value) {
    text += '"';
    for (unsigned char c : value) {
      if (c == '"' || c == '\\') {
        text += '\\';
        text += static_cast<char>(c);
      } else if (c < 0x20) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\u%04x", c);
        text += escaped;
      } else {
        text += static_cast<char>(c);
      }
    }
    text += '"';
  }
  std::string text;
};

inline std::string ipText(uint32_t networkOrder) {
  char text[INET_ADDRSTRLEN] = {0};
  struct in_addr address {};
  address.s_addr = networkOrder;
  if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return "?";
  return text;
}

inline std::string hex8(uint32_t value) {
  char text[9];
  snprintf(text, sizeof text, "%08X", value);
  return text;
}

inline std::string specJson(const linkSpec& spec) {
  Json json;
  json.field("type", static_cast<long long>(spec.type))
      .field("serial", hex8(spec.serialNumber))
      .field("address", static_cast<long long>(spec.moduleAddress))
      .field("router", static_cast<long long>(spec.router))
      .field("routerSerial", hex8(spec.routerSerialNumber))
      .field("model", static_cast<long long>(spec.model));
  if (spec.type == linkTypeTCPIP) {
    json.field("ip", ipText(spec.t.ip.ipAddress)).field("port", static_cast<long long>(spec.t.ip.ipPort));
  } else if (spec.type == linkTypeUSB) {
    json.field("usbId", hex8(spec.t.usb.usbId));
  }
  return json.str();
}

// Parses a hexadecimal serial number ("0F5849A1" or "0x0F5849A1"); false for anything else.
inline bool parseSerial(const char* text, uint32_t* serial) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  unsigned long long value = strtoull(text, &end, 16);
  if (*end != '\0' || value > 0xFFFFFFFFull) return false;
  *serial = static_cast<uint32_t>(value);
  return true;
}

}  // namespace driver
