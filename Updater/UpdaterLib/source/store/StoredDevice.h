#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One bird file held in a device's directory of the store.
struct StoredBuild {
  std::string fileName;  // e.g. "1234.bird"
  std::string path;      // the directory joined with the file name
  std::string problem;   // why the file does not load; empty when it loads
  uint32_t build = 0;    // from the file's information block
  std::string version;
};

// What the local store keeps on one device.
struct StoredDevice {
  std::string directory;
  bool hasSettings = false;
  std::string settingsError;  // why an existing settings file could not be read
  std::map<std::string, std::string> settings;
  std::vector<StoredBuild> builds;  // ordered by the build number of the file name
};

// Reads the device's directory below root without creating or changing anything (a missing
// settings file stays missing); false when the store has no directory of that serial number.
[[nodiscard]] bool ReadStoredDevice(const std::string& root, uint32_t serial, StoredDevice& device);
