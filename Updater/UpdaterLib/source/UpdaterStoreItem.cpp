#include <stdexcept>

#include "AtomicFile.h"
#include "Log.h"
#include "UpdaterStore.h"

UpdaterStoreItem::UpdaterStoreItem() : type(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const char* entryPath, const char* entryName, store_item_t entryType)
    : path(entryPath != nullptr ? entryPath : ""), name(entryName != nullptr ? entryName : ""), type(entryType) {
  // An item that names nothing gets no settings file (it would land in the working directory).
  // A settings file that cannot be read shows in settings.IsReadable().
  if (IsValid()) (void)settings.Load(UpdaterStore::JoinPath(FullPath(), KeyValueStore::DEFAULT_FILENAME).c_str());
}

bool UpdaterStoreItem::IsValid() const { return !path.empty() && !name.empty(); }

std::string UpdaterStoreItem::FullPath() const { return UpdaterStore::JoinPath(path, name); }

aErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* data, size_t length, int* systemError) {
  if (systemError != nullptr) *systemError = 0;
  if (data == nullptr || fileName == nullptr || fileName[0] == '\0' || !IsValid()) return aErrNotFound;
  aErr result = AtomicFile_Write(UpdaterStore::JoinPath(FullPath(), fileName).c_str(), data, length, systemError);
  return result == aErrParam ? aErrNotFound : result;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) {
  std::string fullPath = UpdaterStore::JoinPath(FullPath(), fileName != nullptr ? fileName : "");
  // An item that refers to nothing must not pick up a file of that name in the working directory.
  if (!IsValid() || fileName == nullptr || !BirdFile::VerifyFile(fullPath.c_str())) {
    throw std::runtime_error("Invalid bird " + fullPath);
  }
  return BirdFile(fullPath.c_str());
}

bool UpdaterStoreItem::FileExists(const char* fileName) {
  if (!IsValid()) return false;
  bool found = UpdaterStore::SearchDirectory(FullPath(), fileName, nullptr);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found",
           fileName != nullptr ? fileName : "");
  return found;
}
