#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/DeviceRecord.h"
#include "support/Json.h"

// One record of a device's history in the store: what an update or recovery came to (the
// DeviceRecord that --json prints for the device) with when, where, by whom and how it ran. It is
// kept as one line of JSON: the DeviceRecord's fields, then
//   time         when the record was written, UTC ("2026-12-11T08:19:02Z")
//   user         the user name of the run (its user id as "uid N" when it has no entry)
//   host         the machine's host name
//   command      "update" or "recover"
//   arguments    the command line, program name first, as given
//   file_build   the build of the file's information block, or null when not read or none
//   note         the -l message, or null
//   interrupted  the signal that ended the run ("SIGINT", "SIGTERM", "SIGHUP"), or null
struct HistoryRecord {
  DeviceRecord device;
  std::string time;
  std::string user;
  std::string host;
  std::string command;
  std::vector<std::string> arguments;
  std::optional<uint32_t> fileBuild;
  std::string note;
  std::string interrupted;
};

// The time, user and host of this run, now.
void HistoryRecord_StampNow(HistoryRecord* record);

Json::Value HistoryRecord_ToJson(const HistoryRecord& record);
// False, with *why naming the first fault, for an object that is no history record.
bool HistoryRecord_FromJson(const Json::Value& object, HistoryRecord* record, std::string* why);

// Appends the record to the history of its device in the store below root (the device's
// directory is made when there is none). False, with *why, when it could not be written.
[[nodiscard]] bool HistoryRecord_Append(const std::string& root, const HistoryRecord& record, std::string* why);

// A device's history as read back: the records, oldest first, and each line that holds none.
struct DeviceHistoryView {
  bool present = false;  // false when the device has no history
  std::string problem;   // why the history file could not be read; empty when it was
  std::vector<HistoryRecord> records;
  std::vector<std::string> skipped;  // "line 3: cut short", "line 5: not JSON: ..."
};

// Reads the history of the device's directory in the store below root, changing nothing.
DeviceHistoryView HistoryRecord_ReadAll(const std::string& root, uint32_t serial);
