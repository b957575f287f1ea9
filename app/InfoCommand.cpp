#include "InfoCommand.h"

#include <string>

#include "PrintableText.h"
#include "StoredDevice.h"

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

// False when the store does not know the device.
bool ShowStoredDevice(Display& display, Updater& updater, unsigned int serial) {
  StoredDevice device;
  if (!updater.Read_Stored_Device(serial, device)) return false;
  display.message(Display::INFO, "Device %08X", serial);
  display.message(Display::INFO, "  %-20s%s", "Directory:", device.directory.c_str());
  ShowSettings(display, device);
  ShowBuilds(display, device);
  return true;
}

}  // namespace

int RunInfoCommand(UpdaterDisplayInterface& display, Updater& updater, unsigned int serial) {
  if (ShowStoredDevice(display, updater, serial)) return 0;
  display.message(Display::ERROR, "No stored information for device %08X", serial);
  return 1;
}

void ShowStoredDevices(UpdaterDisplayInterface& display, Updater& updater, const std::vector<DeviceInfo>& list) {
  for (const DeviceInfo& record : list) {
    const unsigned int serial = record.spec.serialNumber;
    if (!ShowStoredDevice(display, updater, serial)) {
      display.message(Display::INFO, "Device %08X: no stored information", serial);
    }
  }
}
