#include "store/StoredDevice.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "aDirectory.h"
#include "firmware/BirdFile.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"

namespace {

constexpr const char* kBirdExtension = ".bird";

bool IsBirdFileName(const char* name) {
  const size_t length = strlen(name);
  const size_t extension = strlen(kBirdExtension);
  return name[0] != '.' && length > extension && strcmp(name + length - extension, kBirdExtension) == 0;
}

// Only regular files are read: opening a FIFO of a store file's name would block, and a link
// could show a file that is not in the store.
bool IsRegularFile(const char* path) {
  struct stat info;
  return lstat(path, &info) == 0 && S_ISREG(info.st_mode);
}

bool CollectBirdFile(const aDirectoryListData* entry, void* userData) {
  auto* builds = static_cast<std::vector<StoredBuild>*>(userData);
  const char* slash = strrchr(entry->path, '/');
  const char* name = slash != nullptr ? slash + 1 : entry->path;
  if (IsBirdFileName(name) && IsRegularFile(entry->path)) {
    StoredBuild build;
    build.fileName = name;
    build.path = entry->path;
    builds->push_back(build);
  }
  return true;
}

// Numbered files by their number, then anything else by name.
bool ComesFirst(const StoredBuild& left, const StoredBuild& right) {
  const unsigned long leftNumber = strtoul(left.fileName.c_str(), nullptr, 10);
  const unsigned long rightNumber = strtoul(right.fileName.c_str(), nullptr, 10);
  if (leftNumber != rightNumber) return leftNumber < rightNumber;
  return left.fileName < right.fileName;
}

// Reads the file as the update flow reads a stored build.
void ReadBuild(StoredBuild& build) {
  if (!BirdFile::VerifyFile(build.path.c_str(), BirdFile::Links::Refuse)) {
    build.problem = "Invalid bird " + build.path;
    return;
  }
  try {
    BirdFile bird(build.path.c_str(), BirdFile::Links::Refuse);
    build.build = bird.GetBuild();
    build.version = bird.GetVersion();
  } catch (const BirdFileLoadError& error) {
    build.problem = error.describe();
  } catch (const std::exception& error) {
    build.problem = error.what();
  }
}

// Reads the settings without KeyValueStore::Load, which creates or rewrites a file it cannot
// open: a view changes nothing.
void ReadSettings(const std::string& path, StoredDevice& device) {
  int error = 0;
  device.hasSettings = KeyValueStore::ReadEntries(path.c_str(), &device.settings, &error);
  if (!device.hasSettings) device.settingsError = strerror(error);
}

}  // namespace

bool ReadStoredDevice(const std::string& root, uint32_t serial, StoredDevice& device) {
  device = StoredDevice();
  device.directory = UpdaterStore::JoinPath(root, UpdaterStore::SerialText(serial));
  if (!aDirectory_Exists(device.directory.c_str())) return false;
  const std::string settingsPath = UpdaterStore::JoinPath(device.directory, KeyValueStore::DEFAULT_FILENAME);
  if (IsRegularFile(settingsPath.c_str())) ReadSettings(settingsPath, device);
  if (aDirectory_List(device.directory.c_str(), CollectBirdFile, &device.builds) != aErrNone) return true;
  std::sort(device.builds.begin(), device.builds.end(), ComesFirst);
  for (StoredBuild& build : device.builds) ReadBuild(build);
  return true;
}
