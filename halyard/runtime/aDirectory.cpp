#include "aDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool makeOne(const std::string& path, mode_t mode) {
  return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

// Appends component to buffer (holding used bytes) with the joining rule; false when it does not fit.
// A separator goes between two components unless the text so far ends with one or the component
// begins with one.
bool appendComponent(char* buffer, size_t size, size_t* used, const char* component, bool first) {
  bool needSeparator = !first && (*used == 0 || buffer[*used - 1] != '/') && component[0] != '/';
  size_t extra = strlen(component) + (needSeparator ? 1 : 0);
  if (*used + extra + 1 > size) return false;
  if (needSeparator) buffer[(*used)++] = '/';
  memcpy(buffer + *used, component, strlen(component));
  *used += strlen(component);
  buffer[*used] = '\0';
  return true;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
  if (path == nullptr) return false;
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

aErr aDirectory_Ensure(const char* path, mode_t mode) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;
  std::string full(path);
  std::string prefix = full[0] == '/' ? "/" : "";
  size_t start = 0;
  while (start < full.size()) {
    size_t slash = full.find('/', start);
    if (slash == std::string::npos) slash = full.size();
    if (slash > start) {
      if (!prefix.empty() && prefix.back() != '/') prefix += '/';
      prefix.append(full, start, slash - start);
      if (!makeOne(prefix, mode)) return aErrPermission;
    }
    start = slash + 1;
  }
  return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* userData) {
  if (path == nullptr || callback == nullptr) return aErrParam;
  DIR* directory = opendir(path);
  if (directory == nullptr) return aErrNotFound;
  char full[kDirectoryListPathSize];
  for (struct dirent* entry = readdir(directory); entry != nullptr; entry = readdir(directory)) {
    if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone) continue;
    struct stat info;
    if (stat(full, &info) != 0) continue;
    aDirectoryListData data{full, static_cast<uint32_t>(info.st_size), S_ISDIR(info.st_mode) ? 1 : 0};
    if (!callback(&data, userData)) break;
  }
  closedir(directory);
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  const char* home = nullptr;
  struct passwd* entry = getpwuid(getuid());
  if (entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] != '\0') home = entry->pw_dir;
  if (home == nullptr) home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') return aErrNotFound;
  if (strlen(home) >= size) return aErrOverrun;
  memcpy(buffer, home, strlen(home) + 1);
  return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name) {
  return aDirectory_BuildPath(buffer, size, directory, name, nullptr);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
  if (buffer == nullptr || size == 0) return aErrParam;
  const char* components[kMaxPathComponents];
  int count = 0;
  va_list args;
  va_start(args, first);
  for (const char* part = first; part != nullptr; part = va_arg(args, const char*)) {
    if (count == kMaxPathComponents || part == buffer) {
      va_end(args);
      buffer[0] = '\0';
      return aErrParam;
    }
    components[count++] = part;
  }
  va_end(args);
  buffer[0] = '\0';
  size_t used = 0;
  for (int i = 0; i < count; ++i) {
    if (!appendComponent(buffer, size, &used, components[i], i == 0)) return aErrOverrun;
  }
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}
