#pragma once
#include <string>

// The lock that serialises changes to one file of the store between processes: a file of its
// own, "<file>.lock", locked with flock() and removed by its holder when done. The file it guards
// may be replaced by a rename while the lock is held, so the lock never lives in that file. A
// run that locked a lock file which its holder removed meanwhile sees that the path names another
// file now, and locks again. The lock file is never opened through a symbolic link.
class StoreLock {
 public:
  // The lock of guardedFile: "<guardedFile>.lock".
  explicit StoreLock(const std::string& guardedFile);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  enum class Outcome { Locked, Busy, NotRegular };

  // Busy when other runs held the lock for the whole wait. Where no lock file can be made (a
  // directory that cannot be written) there is nothing to wait for: the write itself will fail.
  // Opening never blocks, and only a regular file is locked: a FIFO or device of that name would
  // hold the run in open() or read from hardware, and a link of that name is refused.
  Outcome acquire(unsigned long waitMs);

 private:
  std::string path_;
  int fd_ = -1;
};
