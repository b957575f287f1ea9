#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct SplitPath {
  std::string directory;  // "." when path has no directory part
  std::string name;
};

SplitPath splitPath(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  if (slash == 0) return {"/", path.substr(1)};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

// Creates a new hidden file next to the target; 0666 lets the umask decide, as for a plain fopen.
int createTemporary(const SplitPath& parts, std::string* temporary) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temporary = parts.directory + "/." + parts.name + "." + std::to_string(getpid()) + "." +
                 std::to_string(counter.fetch_add(1));
    int fd = open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// A replaced file keeps its permission bits.
bool keepMode(int fd, const char* path) {
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return true;
  return fchmod(fd, info.st_mode & 07777) == 0;
}

bool writeAll(int fd, const unsigned char* bytes, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, bytes, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// Makes the rename itself survive a crash; a failure here leaves a correct file, so it is ignored.
void syncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

aErr fail(aErr code, int error, int* systemError) {
  if (systemError) *systemError = error;
  return code;
}

}  // namespace

aErr AtomicFile_Write(const char* path, const void* data, size_t length, int* systemError) {
  if (systemError) *systemError = 0;
  if (path == nullptr || path[0] == '\0' || (data == nullptr && length > 0)) {
    return fail(aErrParam, EINVAL, systemError);
  }
  SplitPath parts = splitPath(path);
  if (parts.name.empty()) return fail(aErrParam, EISDIR, systemError);

  std::string temporary;
  int fd = createTemporary(parts, &temporary);
  if (fd < 0) return fail(aErrNotFound, errno, systemError);

  bool ok = keepMode(fd, path) && writeAll(fd, static_cast<const unsigned char*>(data), length) &&
            fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(temporary.c_str(), path) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    return fail(aErrIO, error, systemError);
  }
  syncDirectory(parts.directory);
  return aErrNone;
}
