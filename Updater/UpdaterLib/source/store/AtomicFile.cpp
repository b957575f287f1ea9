#include "store/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "aFile.h"

namespace {

// The folder of the target, opened without following a link in its own last component, and the
// target's name in it: every call below works from that descriptor and never follows a link.
class Folder {
 public:
  explicit Folder(const char* path) : fd_(aFile_OpenFolderOf(path, &name_)) {}
  ~Folder() {
    if (fd_ >= 0) close(fd_);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  int fd() const { return fd_; }
  const char* name() const { return name_; }

 private:
  const char* name_ = nullptr;
  int fd_;
};

// Temporary files are named ".<name>" kTemporaryMark "<pid>.<counter>".
constexpr const char* kTemporaryMark = ".partial.";

// The process that wrote a temporary file of that entry name, or 0 when the name is not one.
pid_t temporaryWriter(const char* entry) {
  if (entry[0] != '.') return 0;
  const char* mark = strstr(entry, kTemporaryMark);
  if (mark == nullptr) return 0;
  const char* digits = mark + strlen(kTemporaryMark);
  char* end = nullptr;
  errno = 0;
  long pid = strtol(digits, &end, 10);
  if (errno != 0 || end == digits || *end != '.' || pid <= 0 || pid > INT_MAX) return 0;
  const char* counter = end + 1;
  if (*counter == '\0' || counter[strspn(counter, "0123456789")] != '\0') return 0;
  return static_cast<pid_t>(pid);
}

// Removes the temporary files that runs killed while writing left in the directory. A writer
// that still lives (or belongs to another user: EPERM) keeps its file.
void removeAbandonedTemporaries(const Folder& folder) {
  int fd = openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    if (fd >= 0) close(fd);
    return;
  }
  while (struct dirent* entry = readdir(listing)) {
    pid_t writer = temporaryWriter(entry->d_name);
    if (writer == 0 || writer == getpid()) continue;
    if (kill(writer, 0) == 0 || errno != ESRCH) continue;
    (void)unlinkat(dirfd(listing), entry->d_name, 0);  // gone already, or left for the next write
  }
  closedir(listing);
}

// The temporary file being written (its folder's descriptor and its name), for the signal
// handler; none while g_pendingSet is 0.
int g_pendingFolder = -1;
char g_pendingTemporary[NAME_MAX + 1];
volatile sig_atomic_t g_pendingSet = 0;

// SIGINT, SIGTERM or SIGHUP during a write: the temporary file goes, then the signal does what
// it did before (by default, end the process).
void removePendingAndResignal(int signalNumber) {
  if (g_pendingSet) unlinkat(g_pendingFolder, g_pendingTemporary, 0);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds the signal handlers for the time a temporary file exists. A signal the program
// handles itself, or ignores, is left alone.
class PendingTemporary {
 public:
  PendingTemporary() {
    for (size_t i = 0; i < kSignals; ++i) {
      struct sigaction previous {};
      installed_[i] = sigaction(kCleanedSignals[i], nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL &&
                      (previous.sa_flags & SA_SIGINFO) == 0;
      if (!installed_[i]) continue;
      struct sigaction cleanup {};
      cleanup.sa_handler = removePendingAndResignal;
      sigemptyset(&cleanup.sa_mask);
      installed_[i] = sigaction(kCleanedSignals[i], &cleanup, nullptr) == 0;
    }
  }
  ~PendingTemporary() {
    for (size_t i = 0; i < kSignals; ++i) {
      if (installed_[i]) signal(kCleanedSignals[i], SIG_DFL);
    }
    g_pendingSet = 0;
  }
  PendingTemporary(const PendingTemporary&) = delete;
  PendingTemporary& operator=(const PendingTemporary&) = delete;

  // Names the file before it is created, so a signal at any point leaves nothing behind.
  void name(const Folder& folder, const std::string& name) {
    g_pendingSet = 0;
    if (name.size() >= sizeof g_pendingTemporary) return;
    g_pendingFolder = folder.fd();
    memcpy(g_pendingTemporary, name.c_str(), name.size() + 1);
    g_pendingSet = 1;
  }

 private:
  static constexpr size_t kSignals = sizeof kCleanedSignals / sizeof kCleanedSignals[0];
  bool installed_[kSignals] = {};
};

// Creates a new hidden file next to the target; 0666 lets the umask decide, as for a plain fopen.
int createTemporary(const Folder& folder, PendingTemporary& pending, std::string* temporary) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temporary = std::string(".") + folder.name() + kTemporaryMark + std::to_string(getpid()) + "." +
                 std::to_string(counter.fetch_add(1));
    pending.name(folder, *temporary);
    int fd = openat(folder.fd(), temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// A replaced file keeps its permission bits (a link in its place passes on nothing).
bool keepMode(int fd, const Folder& folder) {
  struct stat info;
  if (fstatat(folder.fd(), folder.name(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) return true;
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
void syncDirectory(const Folder& folder) {
  int fd = openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);  // best effort: the file itself was synced
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
  Folder folder(path);
  if (folder.fd() < 0) return fail(errno == EISDIR ? aErrParam : aErrNotFound, errno, systemError);

  removeAbandonedTemporaries(folder);
  std::string temporary;
  PendingTemporary pending;
  int fd = createTemporary(folder, pending, &temporary);
  if (fd < 0) return fail(aErrNotFound, errno, systemError);

  bool ok = keepMode(fd, folder) && writeAll(fd, static_cast<const unsigned char*>(data), length) && fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  // A link in the target's place is replaced, never followed.
  if (ok && renameat(folder.fd(), temporary.c_str(), folder.fd(), folder.name()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlinkat(folder.fd(), temporary.c_str(), 0);
    return fail(aErrIO, error, systemError);
  }
  syncDirectory(folder);
  return aErrNone;
}
