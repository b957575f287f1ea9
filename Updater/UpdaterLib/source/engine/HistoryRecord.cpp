#include "engine/HistoryRecord.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <ctime>

#include "aDirectory.h"
#include "store/DeviceHistory.h"
#include "store/StoreFolder.h"
#include "store/UpdaterStore.h"

namespace {

std::string utcNow() {
  const time_t now = time(nullptr);
  struct tm utc {};
  char text[32] = {};
  if (gmtime_r(&now, &utc) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) return "";
  return text;
}

std::string userName() {
  const uid_t uid = geteuid();
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr && found->pw_name != nullptr) {
    return found->pw_name;
  }
  return "uid " + std::to_string(uid);
}

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

Json::Value textOrNull(const std::string& text) { return Json::Value::StringOrNull(text); }

// A text member, empty when missing or null; false when it is of another type.
bool readText(const Json::Value& object, const char* field, std::string* out, std::string* why) {
  const Json::Value* value = object.Find(field);
  if (value == nullptr || value->isNull()) return true;
  if (!value->isString()) {
    *why = std::string(field) + ": not text";
    return false;
  }
  *out = value->asString();
  return true;
}

bool readExtras(const Json::Value& object, HistoryRecord* record, std::string* why) {
  if (!readText(object, "time", &record->time, why) || !readText(object, "user", &record->user, why) ||
      !readText(object, "host", &record->host, why) || !readText(object, "command", &record->command, why) ||
      !readText(object, "note", &record->note, why) || !readText(object, "interrupted", &record->interrupted, why)) {
    return false;
  }
  if (record->time.empty()) {
    *why = "time: missing";
    return false;
  }
  if (const Json::Value* build = object.Find("file_build"); build != nullptr && !build->isNull()) {
    if (!build->isInteger() || build->asInteger() < 0 || build->asInteger() > UINT32_MAX) {
      *why = "file_build: not a build number";
      return false;
    }
    record->fileBuild = static_cast<uint32_t>(build->asInteger());
  }
  if (const Json::Value* arguments = object.Find("arguments"); arguments != nullptr && !arguments->isNull()) {
    if (!arguments->isArray()) {
      *why = "arguments: not a list";
      return false;
    }
    for (const Json::Value& argument : arguments->items()) record->arguments.push_back(argument.asString());
  }
  return true;
}

// The record of one line, or why it holds none.
bool parseLine(const HistoryLine& line, HistoryRecord* record, std::string* why) {
  if (!line.complete) {
    *why = "cut short (no line end)";
    return false;
  }
  Json::Value object;
  std::string fault;
  if (!Json::Parse(line.text, &object, &fault)) {
    *why = "not JSON: " + fault;
    return false;
  }
  if (HistoryRecord_FromJson(object, record, &fault)) return true;
  *why = "not a record: " + fault;
  return false;
}

}  // namespace

void HistoryRecord_StampNow(HistoryRecord* record) {
  record->time = utcNow();
  record->user = userName();
  record->host = hostName();
}

Json::Value HistoryRecord_ToJson(const HistoryRecord& record) {
  Json::Value object = DeviceRecord_ToJson(record.device);
  Json::Value arguments = Json::Value::Array();
  for (const std::string& argument : record.arguments) arguments.Append(Json::Value::String(argument));
  object.Set("time", Json::Value::String(record.time))
      .Set("user", textOrNull(record.user))
      .Set("host", textOrNull(record.host))
      .Set("command", textOrNull(record.command))
      .Set("arguments", std::move(arguments))
      .Set("file_build", record.fileBuild ? Json::Value::Integer(*record.fileBuild) : Json::Value::Null())
      .Set("note", textOrNull(record.note))
      .Set("interrupted", textOrNull(record.interrupted));
  return object;
}

bool HistoryRecord_FromJson(const Json::Value& object, HistoryRecord* record, std::string* why) {
  HistoryRecord parsed;
  std::string fault;
  if (!DeviceRecord_FromJson(object, &parsed.device, &fault) || !readExtras(object, &parsed, &fault)) {
    if (why != nullptr) *why = fault;
    return false;
  }
  *record = std::move(parsed);
  return true;
}

bool HistoryRecord_Append(const std::string& root, const HistoryRecord& record, std::string* why) {
  // Only the directory is made: a device the store did not know gets no settings file for it.
  const std::string directory = UpdaterStore::JoinPath(root, UpdaterStore::SerialText(record.device.serial));
  if (aDirectory_Ensure(directory.c_str(), kStoreFolderMode) != aErrNone) {
    *why = "the device's directory " + directory + " could not be made";
    return false;
  }
  return DeviceHistory_Append(directory, Json::Write(HistoryRecord_ToJson(record)), why);
}

DeviceHistoryView HistoryRecord_ReadAll(const std::string& root, uint32_t serial) {
  DeviceHistoryView view;
  HistoryText text;
  const std::string directory = UpdaterStore::JoinPath(root, UpdaterStore::SerialText(serial));
  if (!DeviceHistory_Read(directory, &text, &view.problem)) return view;
  view.present = text.present;
  for (const HistoryLine& line : text.lines) {
    HistoryRecord record;
    std::string why;
    if (parseLine(line, &record, &why)) {
      view.records.push_back(std::move(record));
    } else {
      view.skipped.push_back("line " + std::to_string(line.number) + ": " + why);
    }
  }
  return view;
}
