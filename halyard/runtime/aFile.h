#pragma once
#include <sys/types.h>

#include <cstddef>

#include "aError.h"

// Buffered file access through opaque handles.
typedef struct aUnixFile* aFileRef;

enum aFileMode { aFileModeRead = 0, aFileModeWrite = 1, aFileModeAppend = 2 };

constexpr size_t kMaxPathLength = 4096;

bool aFile_Exists(const char* path);
aFileRef aFile_Open(const char* path, int mode);
// Opens a regular file for reading without ever blocking on the open: a FIFO, a device, a
// socket or a directory gives null with errno EINVAL (other failures keep the errno of open).
aFileRef aFile_OpenRegular(const char* path);
// As aFile_OpenRegular, but neither the file nor the folder that holds it may be a link (see
// aFile_OpenNoLinks): a link there gives null (errno ELOOP or ENOTDIR).
aFileRef aFile_OpenRegularNoLinks(const char* path);
// The folder that holds path's last component, opened (O_PATH) as a descriptor for the *at calls
// without following a link in the folder's own last component (a link there: ENOTDIR). *name
// receives path's last component, which must name an entry (not "", "." or ".."). -1 with errno
// when it cannot be opened; the caller closes the descriptor.
int aFile_OpenFolderOf(const char* path, const char** name);
// Opens path with flags | O_NOFOLLOW | O_CLOEXEC from the descriptor of its folder
// (aFile_OpenFolderOf): a link as the file (ELOOP) or as its folder (ENOTDIR) is refused.
int aFile_OpenNoLinks(const char* path, int flags, mode_t mode);
[[nodiscard]] aErr aFile_Close(aFileRef* file);
[[nodiscard]] aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* read);
[[nodiscard]] aErr aFile_Write(aFileRef file, const void* buffer, size_t length, size_t* written);
[[nodiscard]] aErr aFile_Seek(aFileRef file, long offset, int origin);
[[nodiscard]] aErr aFile_GetSize(aFileRef file, size_t* size);
[[nodiscard]] aErr aFile_GetPosition(aFileRef file, size_t* position);
[[nodiscard]] aErr aFile_ReadLine(aFileRef file, char* buffer, size_t capacity, size_t* length);
[[nodiscard]] aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));
[[nodiscard]] aErr aFile_SetUnbuffered(aFileRef file);
[[nodiscard]] aErr aFile_Delete(const char* path);
