#include "aFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

struct aUnixFile {
  FILE* stream;
  int mode;
  unsigned int check;
};

namespace {

constexpr unsigned int kFileCheck = 0xFEED;

bool pathUsable(const char* path) {
  return path != nullptr && path[0] != '\0' && strnlen(path, kMaxPathLength + 1) <= kMaxPathLength;
}

bool valid(aFileRef file) { return file != nullptr && file->check == kFileCheck; }

bool canRead(aFileRef file) { return file->mode == aFileModeRead || file->mode == aFileModeAppend; }

bool canWrite(aFileRef file) { return file->mode == aFileModeWrite || file->mode == aFileModeAppend; }

const char* fopenMode(int mode) {
  switch (mode) {
    case aFileModeRead: return "rb";
    case aFileModeWrite: return "wb";
    case aFileModeAppend: return "ab+";
    default: return nullptr;
  }
}

}  // namespace

bool aFile_Exists(const char* path) {
  if (path == nullptr || strnlen(path, kMaxPathLength + 1) > kMaxPathLength) return false;
  struct stat info;
  if (stat(path, &info) != 0) return false;
  return !S_ISDIR(info.st_mode);
}

aFileRef aFile_Open(const char* path, int mode) {
  const char* how = fopenMode(mode);
  if (!pathUsable(path) || how == nullptr) return nullptr;
  aUnixFile* file = static_cast<aUnixFile*>(calloc(1, sizeof(aUnixFile)));
  if (file == nullptr) return nullptr;
  file->stream = fopen(path, how);
  if (file->stream == nullptr) {
    free(file);
    return nullptr;
  }
  if (mode == aFileModeAppend) fseek(file->stream, 0, SEEK_END);
  file->mode = mode;
  file->check = kFileCheck;
  return file;
}

namespace {

// Wraps a descriptor opened for reading (O_NONBLOCK) when it is a regular file; closes it when not.
aFileRef adoptRegular(int fd) {
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  aUnixFile* file = static_cast<aUnixFile*>(calloc(1, sizeof(aUnixFile)));
  FILE* stream = file != nullptr ? fdopen(fd, "rb") : nullptr;
  if (stream == nullptr) {
    free(file);
    close(fd);
    return nullptr;
  }
  file->stream = stream;
  file->mode = aFileModeRead;
  file->check = kFileCheck;
  return file;
}

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
constexpr int kRegularReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

}  // namespace

aFileRef aFile_OpenRegular(const char* path) {
  if (!pathUsable(path)) {
    errno = EINVAL;
    return nullptr;
  }
  return adoptRegular(open(path, kRegularReadFlags));
}

int aFile_OpenFolderOf(const char* path, const char** name) {
  if (!pathUsable(path) || name == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const char* slash = strrchr(path, '/');
  *name = slash != nullptr ? slash + 1 : path;
  if (**name == '\0' || strcmp(*name, ".") == 0 || strcmp(*name, "..") == 0) {
    errno = EISDIR;
    return -1;
  }
  std::string folder = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
  // O_PATH with O_NOFOLLOW would open a link itself: O_DIRECTORY makes a link fail (ENOTDIR).
  return open(folder.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int aFile_OpenNoLinks(const char* path, int flags, mode_t mode) {
  const char* name = nullptr;
  int folder = aFile_OpenFolderOf(path, &name);
  if (folder < 0) return -1;
  int fd = openat(folder, name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
  const int error = errno;
  close(folder);
  errno = error;
  return fd;
}

aFileRef aFile_OpenRegularNoLinks(const char* path) {
  return adoptRegular(aFile_OpenNoLinks(path, kRegularReadFlags, 0));
}

aErr aFile_Close(aFileRef* file) {
  if (file == nullptr) return aErrParam;
  aFileRef handle = *file;
  *file = nullptr;
  if (!valid(handle)) return aErrParam;
  // fclose writes what is still buffered: a full disk shows up here, after every write succeeded.
  bool closed = fclose(handle->stream) == 0;
  bool written = canWrite(handle);
  handle->check = 0;
  free(handle);
  if (closed) return aErrNone;
  return written ? aErrWrite : aErrIO;
}

aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* read) {
  if (read) *read = 0;
  if (!valid(file)) return aErrParam;
  if (!canRead(file)) return aErrMode;
  if (buffer == nullptr) return aErrParam;
  size_t count = fread(buffer, 1, length, file->stream);
  if (read) *read = count;
  if (count == 0 && length > 0) return aErrEOF;
  return aErrNone;
}

aErr aFile_Write(aFileRef file, const void* buffer, size_t length, size_t* written) {
  if (written) *written = 0;
  if (!valid(file)) return aErrParam;
  if (!canWrite(file)) return aErrMode;
  if (buffer == nullptr) return aErrParam;
  size_t count = fwrite(buffer, 1, length, file->stream);
  if (written) *written = count;
  if (count == 0 && length > 0) return aErrIO;
  return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size) {
  if (size == nullptr || !valid(file)) return aErrParam;
  *size = 0;
  long position = ftell(file->stream);
  if (position < 0 || fseek(file->stream, 0, SEEK_END) != 0) return aErrIO;
  long end = ftell(file->stream);
  if (end < 0 || fseek(file->stream, position, SEEK_SET) != 0) return aErrIO;
  *size = static_cast<size_t>(end);
  return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, size_t* position) {
  if (position == nullptr || !valid(file)) return aErrParam;
  long at = ftell(file->stream);
  if (at < 0) return aErrIO;
  *position = static_cast<size_t>(at);
  return aErrNone;
}

aErr aFile_Seek(aFileRef file, long offset, int origin) {
  if (!valid(file)) return aErrParam;
  long current = ftell(file->stream);
  if (current < 0) return aErrIO;
  size_t size = 0;
  if (aFile_GetSize(file, &size) != aErrNone) return aErrIO;
  long base;
  switch (origin) {
    case 0: base = 0; break;
    case 1: base = current; break;
    case 2: base = static_cast<long>(size); break;
    default: return aErrParam;
  }
  if ((offset > 0 && base > __LONG_MAX__ - offset)) return aErrRange;
  long target = base + offset;
  if (target < 0 || static_cast<size_t>(target) > size) return aErrRange;
  if (fseek(file->stream, target, SEEK_SET) != 0) return aErrIO;
  return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t capacity, size_t* length) {
  if (length) *length = 0;
  if (!valid(file) || buffer == nullptr || capacity == 0) return aErrParam;
  if (!canRead(file)) return aErrMode;
  buffer[0] = '\0';
  size_t count = 0;
  while (count + 1 < capacity) {
    int c = fgetc(file->stream);
    if (c == EOF) {
      buffer[count] = '\0';
      if (length) *length = count;
      if (ferror(file->stream)) return aErrIO;
      return count == 0 ? aErrEOF : aErrNone;
    }
    buffer[count++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer[count] = '\0';
  if (length) *length = count;
  if (capacity == 1) return aErrOverrun;
  if (count == capacity - 1 && buffer[count - 1] != '\n') return aErrOverrun;
  return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
  if (!valid(file) || format == nullptr) return aErrParam;
  if (!canWrite(file)) return aErrMode;
  va_list args;
  va_start(args, format);
  int written = vfprintf(file->stream, format, args);
  va_end(args);
  return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
  if (!valid(file)) return aErrParam;
  return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrIO;
}

aErr aFile_Delete(const char* path) {
  if (!pathUsable(path)) return aErrParam;
  if (remove(path) == 0) return aErrNone;
  return errno == ENOENT ? aErrNotFound : aErrIO;
}
