#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "store/UpdaterStoreItem.h"

// Keys of a device's settings file in the store.
constexpr const char* kLatestDownloadKey = "LATEST_DOWNLOAD";
constexpr const char* kLastDownloadDateKey = "LAST_DOWNLOAD_DATE";
constexpr const char* kLatestTransferKey = "LATEST_TRANSFER";
constexpr const char* kLastTransferDateKey = "LAST_TRANSFER_DATE";

// The name a build's bird file has in a device's directory of the store ("1234.bird").
std::string BirdFileName(unsigned int build);

// The local firmware store: one directory per device serial number under a root directory.
class UpdaterStore {
 public:
  // Ensures the root directory exists; throws std::runtime_error when it cannot.
  explicit UpdaterStore(const char* root);

  const char* BasePath() const { return root.c_str(); }

  // Ensures root/name exists and returns its item; throws std::runtime_error when it cannot.
  UpdaterStoreItem AddDevice(const char* name);
  UpdaterStoreItem AddDevice(uint32_t serial);
  // Finds the first root entry whose name contains name; fills item (when given) on a match.
  [[nodiscard]] bool FindDevice(const char* name, UpdaterStoreItem* item);
  [[nodiscard]] bool FindDevice(uint32_t serial, UpdaterStoreItem* item);
  // Appends one item per entry of the device's directory whose name does not begin with ".".
  [[nodiscard]] bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items);

  // Serial numbers name device directories as 8 upper-case hexadecimal digits.
  static std::string SerialText(uint32_t serial);
  // Joins two path components with one "/" between them.
  static std::string JoinPath(const std::string& directory, const std::string& name);
  // Searches directory for an entry whose name contains name (see FindDevice).
  [[nodiscard]] static bool SearchDirectory(const std::string& directory, const char* name, UpdaterStoreItem* item);

 private:
  std::string root;
};
