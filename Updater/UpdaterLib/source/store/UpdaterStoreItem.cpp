#include "store/UpdaterStoreItem.h"

#include <cstring>
#include <stdexcept>

#include "Log.h"
#include "aDirectory.h"
#include "store/AtomicFile.h"

const char* StoreEntryName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

namespace {

struct result_t {
  bool found = false;
  const char* name = nullptr;
  UpdaterStoreItem* item = nullptr;
};

// The search compares with the entry's own name, so a root whose path happens to contain the
// name (or the "." and ".." entries of such a root) is never taken for a device.
bool _find_item(const aDirectoryListData* entry, void* userData) {
  result_t* result = static_cast<result_t*>(userData);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           static_cast<int>(entry->isDirectory), static_cast<int>(entry->size), result->name);
  const char* entryName = StoreEntryName(entry->path);
  if (strcmp(entryName, ".") == 0 || strcmp(entryName, "..") == 0) return true;
  if (strstr(entryName, result->name) == nullptr) return true;
  result->found = true;
  if (result->item != nullptr) {
    std::string directory(entry->path, static_cast<size_t>(entryName - entry->path));
    if (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    *result->item = UpdaterStoreItem(directory.c_str(), entryName,
                                     entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  }
  return false;
}

}  // namespace

std::string JoinStorePath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (name.empty()) return directory;
  if (directory.back() == '/' || name.front() == '/') return directory + name;
  return directory + "/" + name;
}

bool FindStoreEntry(const std::string& directory, const char* name, UpdaterStoreItem* item) {
  if (name == nullptr) return false;
  result_t result;
  result.name = name;
  result.item = item;
  (void)aDirectory_List(directory.c_str(), _find_item, &result);  // a directory that cannot be listed holds no item
  return result.found;
}

UpdaterStoreItem::UpdaterStoreItem() : type(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const char* entryPath, const char* entryName, store_item_t entryType)
    : path(entryPath != nullptr ? entryPath : ""), name(entryName != nullptr ? entryName : ""), type(entryType) {
  // An item that names nothing gets no settings file (it would land in the working directory).
  // A settings file that cannot be read shows in settings.IsReadable().
  if (IsValid()) (void)settings.Load(JoinStorePath(FullPath(), KeyValueStore::DEFAULT_FILENAME).c_str());
}

bool UpdaterStoreItem::IsValid() const { return !path.empty() && !name.empty(); }

std::string UpdaterStoreItem::FullPath() const { return JoinStorePath(path, name); }

aErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* data, size_t length, int* systemError) {
  if (systemError != nullptr) *systemError = 0;
  if (data == nullptr || fileName == nullptr || fileName[0] == '\0' || !IsValid()) return aErrNotFound;
  aErr result = AtomicFile_Write(JoinStorePath(FullPath(), fileName).c_str(), data, length, systemError);
  return result == aErrParam ? aErrNotFound : result;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) {
  std::string fullPath = JoinStorePath(FullPath(), fileName != nullptr ? fileName : "");
  // An item that refers to nothing must not pick up a file of that name in the working directory.
  if (!IsValid() || fileName == nullptr || !BirdFile::VerifyFile(fullPath.c_str(), BirdFile::Links::Refuse)) {
    throw std::runtime_error("Invalid bird " + fullPath);
  }
  return BirdFile(fullPath.c_str(), BirdFile::Links::Refuse);
}

bool UpdaterStoreItem::FileExists(const char* fileName) {
  if (!IsValid()) return false;
  bool found = FindStoreEntry(FullPath(), fileName, nullptr);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found",
           fileName != nullptr ? fileName : "");
  return found;
}
