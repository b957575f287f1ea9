#include "InfoCommand.h"

#include <string>

#include "JsonRecords.h"
#include "JsonReport.h"
#include "store/StoredDevice.h"
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
  return device.settingsError.empty() ? Shown::kComplete : Shown::kWithoutSettings;
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
