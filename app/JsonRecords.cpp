#include "JsonRecords.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "support/NumberText.h"

namespace {

using Json::Value;

const char* transportName(linkType type) {
  switch (type) {
    case linkTypeUSB: return "USB";
    case linkTypeTCPIP: return "TCP";
    default: return "router";
  }
}

std::string versionText(const DeviceInfo& record) {
  return std::to_string(record.versionMajor) + "." + std::to_string(record.versionMinor) + "." +
         std::to_string(record.versionPatch);
}

std::string ipText(uint32_t networkOrder) {
  uint8_t ip[4];
  memcpy(ip, &networkOrder, sizeof ip);  // first byte first
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
         std::to_string(ip[3]);
}

// A module reached directly names itself (TCP/IP) or nothing (USB) as its router.
Value routerOf(const linkSpec& spec) {
  if (spec.routerSerialNumber == 0 || spec.routerSerialNumber == spec.serialNumber) return Value::Null();
  return Value::String(SerialNumberText(spec.routerSerialNumber));
}

Value storedEvent(const StoredDevice& device, const char* fileKey, const char* dateKey) {
  auto file = device.settings.find(fileKey);
  if (file == device.settings.end()) return Value::Null();
  auto date = device.settings.find(dateKey);
  return Value::Object()
      .Set("file", Value::String(file->second))
      .Set("date", date != device.settings.end() ? Value::String(date->second) : Value::Null());
}

Value storedBuild(const StoredBuild& build) {
  const bool loads = build.problem.empty();
  return Value::Object()
      .Set("file", Value::String(build.fileName))
      .Set("path", Value::String(build.path))
      .Set("build", loads ? Value::Integer(build.build) : Value::Null())
      .Set("version", loads ? Value::String(build.version) : Value::Null())
      .Set("problem", Value::StringOrNull(build.problem));
}

}  // namespace

Value JsonRecords::DiscoveredDevice(const DeviceInfo& record) {
  const linkSpec& spec = record.spec;
  const bool asked = record.error == aErrNone;
  // A build query that got no answer leaves the build 0, which no build carries.
  const bool buildRead = asked && record.buildNumber != 0;
  const bool tcp = spec.type == linkTypeTCPIP;
  std::string cause;
  if (!asked) cause = std::string("its build and version could not be read: ") + aError_GetErrorDescription(record.error);
  if (asked && !buildRead) cause = "its build could not be read: no valid answer to the build query";
  return Value::Object()
      .Set("serial", Value::String(SerialNumberText(spec.serialNumber)))
      .Set("model", Value::String(record.modelName))
      .Set("model_number", Value::Integer(spec.model))
      .Set("build", buildRead ? Value::Integer(record.buildNumber) : Value::Null())
      .Set("version", asked ? Value::String(versionText(record)) : Value::Null())
      .Set("transport", Value::String(tcp ? "TCP" : "USB"))
      .Set("address", tcp ? Value::String(ipText(spec.t.ip.ipAddress)) : Value::Null())
      .Set("port", tcp ? Value::Integer(spec.t.ip.ipPort) : Value::Null())
      .Set("module", Value::Integer(spec.moduleAddress & 0xFF))
      .Set("router", routerOf(spec))
      .Set("router_address", Value::Integer(spec.router & 0xFF))
      .Set("cause", Value::StringOrNull(cause));
}

Value JsonRecords::Transport(const char* name, const std::string& failure) {
  return Value::Object()
      .Set("name", Value::String(name))
      .Set("ok", Value::Bool(failure.empty()))
      .Set("cause", Value::StringOrNull(failure));
}

Value JsonRecords::Transports(const std::vector<TransportSearch>& searches) {
  Value list = Value::Array();
  for (const TransportSearch& search : searches) list.Append(Transport(transportName(search.type), search.failure));
  return list;
}

Value JsonRecords::ServerBuilds(const std::map<std::string, std::string>& builds, uint32_t latest) {
  struct Entry {
    uint32_t number;  // 0: the name is no build number
    const std::string* name;
    const std::string* version;
  };
  std::vector<Entry> entries;
  for (const auto& [name, version] : builds) {
    uint32_t number = 0;
    if (!ParseBuildNumber(name, &number)) number = 0;
    entries.push_back({number, &name, &version});
  }
  // By build number; names that are none last, in the server's order.
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& left, const Entry& right) {
    return left.number != 0 && (right.number == 0 || left.number < right.number);
  });
  Value list = Value::Array();
  for (const Entry& entry : entries) {
    Value item = Value::Object().Set("build", entry.number != 0 ? Value::Integer(entry.number) : Value::Null());
    if (entry.number == 0) item.Set("name", Value::String(*entry.name));
    item.Set("version", Value::String(*entry.version))
        .Set("latest", Value::Bool(entry.number != 0 && entry.number == latest));
    list.Append(std::move(item));
  }
  return list;
}

Value JsonRecords::StoredDeviceRecord(uint32_t serial, const StoredDevice& device) {
  Value settings = Value::Null();
  if (device.hasSettings && device.settingsError.empty()) {
    settings = Value::Object();
    for (const auto& [key, value] : device.settings) settings.Set(key, Value::String(value));
  }
  Value builds = Value::Array();
  for (const StoredBuild& build : device.builds) builds.Append(storedBuild(build));
  return Value::Object()
      .Set("serial", Value::String(SerialNumberText(serial)))
      .Set("directory", Value::String(device.directory))
      .Set("settings", std::move(settings))
      .Set("settings_error", Value::StringOrNull(device.settingsError))
      .Set("latest_download", storedEvent(device, "LATEST_DOWNLOAD", "LAST_DOWNLOAD_DATE"))
      .Set("latest_transfer", storedEvent(device, "LATEST_TRANSFER", "LAST_TRANSFER_DATE"))
      .Set("builds", std::move(builds));
}

Value JsonRecords::FingerprintRecord(const Fingerprint& fingerprint, const char* chip, const std::string& port) {
  Value words = Value::Array();
  for (uint32_t word : fingerprint.words) {
    char text[9];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned int>(word));
    words.Append(Value::String(text));
  }
  return Value::Object()
      .Set("chip", Value::String(chip))
      .Set("words", std::move(words))
      .Set("port", Value::String(port));
}
