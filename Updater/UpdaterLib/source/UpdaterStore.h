#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

// Keys of a device's settings file in the store.
constexpr const char* kLatestDownloadKey = "LATEST_DOWNLOAD";
constexpr const char* kLastDownloadDateKey = "LAST_DOWNLOAD_DATE";
constexpr const char* kLatestTransferKey = "LATEST_TRANSFER";
constexpr const char* kLastTransferDateKey = "LAST_TRANSFER_DATE";

// The name a build's bird file has in a device's directory of the store ("1234.bird").
std::string BirdFileName(unsigned int build);

// Kind of a store entry.
enum store_item_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
};

// One entry of the local store (a device directory or a file in it) with its settings file
// path/name/".settings" attached. A value: copies carry their own settings.
class UpdaterStoreItem {
 public:
  UpdaterStoreItem();
  // Loads (and, when missing and the directory exists, creates) path/name/".settings".
  UpdaterStoreItem(const char* path, const char* name, store_item_t type);

  [[nodiscard]] bool IsValid() const;
  // Writes length bytes to path/name/fileName, replacing an existing file only once the new
  // contents are complete. aErrNotFound for null data, an item that refers to nothing or a file
  // that cannot be created; aErrIO when the write fails.
  // systemError, when given, receives the errno of a failed write (0 when there was none).
  [[nodiscard]] aErr WriteFile(const char* fileName, const unsigned char* data, size_t length,
                               int* systemError = nullptr);
  // Throws std::runtime_error("Invalid bird " + full path) when the file is missing or foreign,
  // and "Failed to load bird data" when it does not load.
  BirdFile ReadBirdFile(const char* fileName);
  [[nodiscard]] bool FileExists(const char* fileName);

  // The directory this item stands for: path/name.
  std::string FullPath() const;

  std::string path;  // the directory that contains the entry
  std::string name;  // the entry's own name
  store_item_t type;
  KeyValueStore settings;
};

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
