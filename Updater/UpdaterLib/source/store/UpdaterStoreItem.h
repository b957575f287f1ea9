#pragma once
#include <cstddef>
#include <string>

#include "aError.h"
#include "firmware/BirdFile.h"
#include "store/KeyValueStore.h"

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

// Joins two path components with one "/" between them.
std::string JoinStorePath(const std::string& directory, const std::string& name);
// The last component of a directory entry's path: its own name.
const char* StoreEntryName(const char* path);
// Searches directory for an entry whose own name contains name; fills item (when given) with the
// first one found.
[[nodiscard]] bool FindStoreEntry(const std::string& directory, const char* name, UpdaterStoreItem* item);
