#include "InfoCommand.h"

#include <string>

#include "JsonRecords.h"
#include "JsonReport.h"
#include "engine/HistoryRecord.h"
#include "store/StoredDevice.h"
#include "store/UpdaterStore.h"
#include "support/PrintableText.h"

namespace {

using Display = UpdaterDisplayInterface;

// The settings shown first, each with the setting that dates it.
struct NamedSetting {
  const char* label;
  const char* key;
  const char* dateKey;
};

const NamedSetting kNamedSettings[] = {
    {"Latest download:", "LATEST_DOWNLOAD", "LAST_DOWNLOAD_DATE"},
    {"Latest transfer:", "LATEST_TRANSFER", "LAST_TRANSFER_DATE"},
};

bool IsNamedKey(const std::string& key) {
  for (const NamedSetting& named : kNamedSettings) {
    if (key == named.key || key == named.dateKey) return true;
  }
  return false;
}

std::string SettingValue(const StoredDevice& device, const char* key) {
  auto entry = device.settings.find(key);
  return entry != device.settings.end() ? PrintableText(entry->second) : std::string();
}

void ShowSettings(Display& display, const StoredDevice& device) {
  if (!device.settingsError.empty()) {
    display.message(Display::ERROR, "Settings file in %s cannot be read: %s", device.directory.c_str(),
                    device.settingsError.c_str());
    return;
  }
  if (!device.hasSettings) {
    display.message(Display::INFO, "  No settings file");
    return;
  }
  for (const NamedSetting& named : kNamedSettings) {
    std::string value = SettingValue(device, named.key);
    std::string date = SettingValue(device, named.dateKey);
    if (value.empty()) value = "none";
    if (!date.empty()) value += " (" + date + ")";
    display.message(Display::INFO, "  %-20s%s", named.label, value.c_str());
  }
  for (const auto& [key, value] : device.settings) {
    if (IsNamedKey(key)) continue;
    display.message(Display::INFO, "  %-20s%s", (PrintableText(key) + ":").c_str(), PrintableText(value).c_str());
  }
}

void ShowBuilds(Display& display, const StoredDevice& device) {
  if (device.builds.empty()) {
    display.message(Display::INFO, "  No builds in the store");
    return;
  }
  display.message(Display::INFO, "  Builds in the store:");
  for (const StoredBuild& build : device.builds) {
    const std::string name = PrintableText(build.fileName);
    if (!build.problem.empty()) {
      display.message(Display::INFO, "    %-16s%s", name.c_str(), PrintableText(build.problem).c_str());
    } else {
      display.message(Display::INFO, "    %-16sbuild %u, version %s", name.c_str(), build.build,
                      PrintableText(build.version).c_str());
    }
  }
}

std::string BuildText(const std::optional<uint32_t>& build) { return build ? std::to_string(*build) : "-"; }

// How the run ended, in a few words: "updated", "failed at validation (unchanged)".
std::string EndingText(const HistoryRecord& record) {
  const DeviceRecord& device = record.device;
  std::string text = DeviceRecord_ResultName(device.result);
  if (device.step != UpdateOutcome::Step::None) text += std::string(" at ") + UpdateOutcome_StepName(device.step);
  if (!device.succeeded()) text += std::string(" (") + UpdateOutcome_StateName(device.state) + ")";
  if (!record.interrupted.empty()) text += ", interrupted by " + record.interrupted;
  return text;
}

// One line a record, oldest first, then each line of the file that holds none; nothing for a
// device without history. False when the history file cannot be read.
bool ShowHistory(Display& display, const std::string& directory, const DeviceHistoryView& history) {
  if (!history.problem.empty()) {
    display.message(Display::ERROR, "History file in %s cannot be read: %s", directory.c_str(),
                    history.problem.c_str());
    return false;
  }
  if (history.records.empty() && history.skipped.empty()) return true;
  display.message(Display::INFO, "  History (oldest first):");
  for (const HistoryRecord& record : history.records) {
    std::string line = PrintableText(record.time) + "  " + PrintableText(record.command) + "  " +
                       BuildText(record.device.buildBefore) + " -> " + BuildText(record.device.buildAfter) + "  " +
                       EndingText(record);
    if (!record.note.empty()) line += "  \"" + PrintableText(record.note) + "\"";
    display.message(Display::INFO, "    %s", line.c_str());
  }
  for (const std::string& skipped : history.skipped) {
    display.message(Display::INFO, "    Skipped history %s", PrintableText(skipped).c_str());
  }
  return true;
}

// The history's members of the device's --json record: its records (oldest first, as the history
// file keeps them), the lines of the file that hold none, and why the file could not be read.
void AddHistory(Json::Value* record, const DeviceHistoryView& history) {
  Json::Value records = Json::Value::Array();
  for (const HistoryRecord& entry : history.records) records.Append(HistoryRecord_ToJson(entry));
  Json::Value skipped = Json::Value::Array();
  for (const std::string& line : history.skipped) skipped.Append(Json::Value::String(line));
  record->Set("history", std::move(records));
  record->Set("history_skipped", std::move(skipped));
  record->Set("history_problem", Json::Value::StringOrNull(history.problem));
}

enum class Shown { kUnknownDevice, kComplete, kWithoutSettings };

// *record gets the device's record for --json (null when the store does not know it).
Shown ShowStoredDevice(Display& display, Updater& updater, unsigned int serial, Json::Value* record) {
  StoredDevice device;
  *record = Json::Value::Null();
  if (!updater.Read_Stored_Device(serial, device)) return Shown::kUnknownDevice;
  *record = JsonRecords::StoredDeviceRecord(serial, device);
  display.message(Display::INFO, "Device %08X", serial);
  display.message(Display::INFO, "  %-20s%s", "Directory:", device.directory.c_str());
  ShowSettings(display, device);
  ShowBuilds(display, device);
  const DeviceHistoryView history = HistoryRecord_ReadAll(updater.StoreDirectory(), serial);
  const bool historyRead = ShowHistory(display, device.directory, history);
  AddHistory(record, history);
  return device.settingsError.empty() && historyRead ? Shown::kComplete : Shown::kWithoutSettings;
}

}  // namespace

int RunInfoCommand(UpdaterDisplayInterface& display, Updater& updater, unsigned int serial) {
  JsonReport& document = JsonOutput::Report();
  Json::Value record;
  const Shown shown = ShowStoredDevice(display, updater, serial, &record);
  Json::Value stored = Json::Value::Array();
  if (!record.isNull()) stored.Append(record);
  document.Set("stored", std::move(stored));
  switch (shown) {
    case Shown::kComplete: return 0;
    case Shown::kWithoutSettings:
      document.SetError(UpdateOutcome::Step::Settings, JsonOutput::FirstError());
      return 1;
    case Shown::kUnknownDevice: break;
  }
  display.message(Display::ERROR, "No stored information for device %08X", serial);
  document.SetError(UpdateOutcome::Step::Store, JsonOutput::FirstError());
  return 1;
}

std::vector<Json::Value> ShowStoredDevices(UpdaterDisplayInterface& display, Updater& updater,
                                           const std::vector<DeviceInfo>& list) {
  std::vector<Json::Value> records(list.size());
  for (size_t index = 0; index < list.size(); ++index) {
    const unsigned int serial = list[index].spec.serialNumber;
    if (ShowStoredDevice(display, updater, serial, &records[index]) == Shown::kUnknownDevice) {
      display.message(Display::INFO, "Device %08X: no stored information", serial);
    }
  }
  return records;
}
