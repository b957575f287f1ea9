#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "aError.h"

struct aDirectoryListData {
  const char* path;      // the entry's full path, valid only during the callback
  uint32_t size;         // low 32 bits of the entry's size
  int32_t isDirectory;   // 1 for a directory
};

// Returns false to stop the listing.
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* entry, void* userData);

constexpr size_t kDirectoryListPathSize = 2048;
constexpr int kMaxPathComponents = 10;

bool aDirectory_Exists(const char* path);
[[nodiscard]] aErr aDirectory_Ensure(const char* path, mode_t mode);
[[nodiscard]] aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* userData);
[[nodiscard]] aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
[[nodiscard]] aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name);
// Joins up to 10 components ended by a null pointer.
[[nodiscard]] aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);
[[nodiscard]] aErr aDirectory_Delete(const char* path);
