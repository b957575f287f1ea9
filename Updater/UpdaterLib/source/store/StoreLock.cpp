#include "store/StoreLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "aFile.h"
#include "aRetry.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned long kLockPollMs = 20;

// What opening a link without following it gives: ELOOP for the file, ENOTDIR for its folder.
bool isLink(int error) { return error == ELOOP || error == ENOTDIR; }

// Only another run's lock is waited for: any other failure of flock leaves nothing to wait for.
bool lockBefore(int fd, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  aErr locked = RetryUntil(left > 0 ? static_cast<unsigned long>(left) : 0, kLockPollMs, [fd](unsigned) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return aErrNone;
    return errno == EWOULDBLOCK || errno == EINTR ? aErrBusy : aErrNone;
  });
  return locked == aErrNone;
}

}  // namespace

StoreLock::StoreLock(const std::string& guardedFile) : path_(guardedFile + ".lock") {}

StoreLock::~StoreLock() {
  if (fd_ < 0) return;
  unlink(path_.c_str());
  close(fd_);  // closing releases the lock
}

StoreLock::Outcome StoreLock::acquire(unsigned long waitMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    constexpr int kFlags = O_NOCTTY | O_NONBLOCK;
    int fd = aFile_OpenNoLinks(path_.c_str(), O_RDWR | O_CREAT | kFlags, 0600);
    if (fd < 0 && isLink(errno)) return Outcome::NotRegular;
    if (fd < 0) fd = aFile_OpenNoLinks(path_.c_str(), O_RDONLY | kFlags, 0);  // flock needs no write access
    if (fd < 0) return isLink(errno) ? Outcome::NotRegular : Outcome::Locked;
    struct stat locked;
    if (fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode)) {
      close(fd);
      return Outcome::NotRegular;
    }
    if (!lockBefore(fd, deadline)) {
      close(fd);
      return Outcome::Busy;
    }
    struct stat named;
    if (fstat(fd, &locked) == 0 && lstat(path_.c_str(), &named) == 0 && locked.st_dev == named.st_dev &&
        locked.st_ino == named.st_ino) {
      fd_ = fd;
      return Outcome::Locked;
    }
    close(fd);
  }
}
