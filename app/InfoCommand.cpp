#include "InfoCommand.h"

#include <string>

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

// The device's object of the --json document: its serial number and directory, the records of its
// history (oldest first, as the history file keeps them) and the lines of the file that hold none.
Json::Value StoredDeviceJson(unsigned int serial, const StoredDevice& device, const DeviceHistoryView& history) {
  Json::Value records = Json::Value::Array();
  for (const HistoryRecord& record : history.records) records.Append(HistoryRecord_ToJson(record));
  Json::Value skipped = Json::Value::Array();
  for (const std::string& line : history.skipped) skipped.Append(Json::Value::String(line));
  return Json::Value::Object()
      .Set("serial", Json::Value::String(UpdaterStore::SerialText(serial)))
      .Set("directory", Json::Value::String(device.directory))
      .Set("history", std::move(records))
      .Set("history_skipped", std::move(skipped))
      .Set("history_problem", Json::Value::StringOrNull(history.problem));
}

enum class Shown { kUnknownDevice, kComplete, kWithoutSettings };

Shown ShowStoredDevice(Display& display, Updater& updater, unsigned int serial) {
  StoredDevice device;
  if (!updater.Read_Stored_Device(serial, device)) return Shown::kUnknownDevice;
  display.message(Display::INFO, "Device %08X", serial);
  display.message(Display::INFO, "  %-20s%s", "Directory:", device.directory.c_str());
  ShowSettings(display, device);
  ShowBuilds(display, device);
  const DeviceHistoryView history = HistoryRecord_ReadAll(updater.StoreDirectory(), serial);
  const bool historyRead = ShowHistory(display, device.directory, history);
  if (JsonOutput::Active()) JsonOutput::Report().AddDevice(StoredDeviceJson(serial, device, history));
  return device.settingsError.empty() && historyRead ? Shown::kComplete : Shown::kWithoutSettings;
}

}  // namespace

int RunInfoCommand(UpdaterDisplayInterface& display, Updater& updater, unsigned int serial) {
  switch (ShowStoredDevice(display, updater, serial)) {
    case Shown::kComplete: return 0;
    case Shown::kWithoutSettings: return 1;
    case Shown::kUnknownDevice: break;
  }
  display.message(Display::ERROR, "No stored information for device %08X", serial);
  return 1;
}

void ShowStoredDevices(UpdaterDisplayInterface& display, Updater& updater, const std::vector<DeviceInfo>& list) {
  for (const DeviceInfo& record : list) {
    const unsigned int serial = record.spec.serialNumber;
    if (ShowStoredDevice(display, updater, serial) == Shown::kUnknownDevice) {
      display.message(Display::INFO, "Device %08X: no stored information", serial);
    }
  }
}
