#include "store/UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Log.h"
#include "aDirectory.h"
#include "store/StoreFolder.h"

namespace {

void EnsureStoreDirectory(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    aErr error = aDirectory_Ensure(path.c_str(), kStoreFolderMode);
    if (error != aErrNone) {
      throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                               std::to_string(static_cast<int>(error)));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
  } else if (S_ISDIR(info.st_mode)) {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
  } else {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  }
}

// A device directory name must name one entry directly below the root.
bool UsableEntryName(const char* name) {
  return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
         strcmp(name, "..") != 0;
}

struct builds_t {
  std::string directory;
  std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* userData) {
  builds_t* builds = static_cast<builds_t*>(userData);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, static_cast<int>(entry->isDirectory),
           static_cast<int>(entry->size));
  const char* entryName = StoreEntryName(entry->path);
  if (entryName[0] == '.') return true;
  builds->items->push_back(UpdaterStoreItem(builds->directory.c_str(), entryName,
                                            entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE));
  return true;
}

}  // namespace

UpdaterStore::UpdaterStore(const char* path) : root(path != nullptr ? path : "") {
  if (root.empty()) throw std::runtime_error("UpdaterStore: Could not create directory  error " +
                                             std::to_string(static_cast<int>(aErrParam)));
  EnsureStoreDirectory(root);
  const std::string problem = StoreFolderProblem(root);
  if (!problem.empty()) throw std::runtime_error(problem);
}

std::string UpdaterStore::SerialText(uint32_t serial) {
  char text[9];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

std::string UpdaterStore::JoinPath(const std::string& directory, const std::string& name) {
  return JoinStorePath(directory, name);
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  std::string path = JoinPath(root, name != nullptr ? name : "");
  if (!UsableEntryName(name)) {
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                             std::to_string(static_cast<int>(aErrParam)));
  }
  const std::string problem = DeviceFolderProblem(path);
  if (!problem.empty()) throw std::runtime_error(problem);
  EnsureStoreDirectory(path);
  return UpdaterStoreItem(root.c_str(), name, STORE_ITEM_DIRECTORY);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(SerialText(serial).c_str()); }

bool UpdaterStore::SearchDirectory(const std::string& directory, const char* name, UpdaterStoreItem* item) {
  return FindStoreEntry(directory, name, item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
  bool found = SearchDirectory(root, name, item);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found",
           name != nullptr ? name : "");
  return found;
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) {
  return FindDevice(SerialText(serial).c_str(), item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) {
  UpdaterStoreItem device;
  if (!FindDevice(serial, &device)) return true;
  builds_t builds{device.FullPath(), &items};
  // A directory that cannot be listed holds no build.
  (void)aDirectory_List(builds.directory.c_str(), _find_items, &builds);
  return true;
}

std::string BirdFileName(unsigned int build) { return std::to_string(build) + ".bird"; }
