#include "store/DeviceHistory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/StoreLock.h"
#include "store/UpdaterStore.h"

namespace {

constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

std::string systemCause(const char* what, int error) {
  if (error == ELOOP) return std::string(what) + ": it is a symbolic link";
  return std::string(what) + ": " + strerror(error);
}

// The last limit bytes of the file (all of it when it is no larger); *cutAtStart when older bytes
// were left unread.
bool readTail(int fd, off_t size, size_t limit, std::string* text, bool* cutAtStart) {
  const off_t start = size > static_cast<off_t>(limit) ? size - static_cast<off_t>(limit) : 0;
  *cutAtStart = start > 0;
  text->assign(static_cast<size_t>(size - start), '\0');
  size_t done = 0;
  while (done < text->size()) {
    ssize_t got = pread(fd, &(*text)[done], text->size() - done, start + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;  // the file shrank meanwhile
    done += static_cast<size_t>(got);
  }
  text->resize(done);
  return true;
}

// The lines of text; a first line that begins before the text (cutAtStart) is left out.
std::vector<HistoryLine> splitLines(const std::string& text, bool cutAtStart) {
  std::vector<HistoryLine> lines;
  size_t start = 0;
  if (cutAtStart) {
    size_t end = text.find('\n');
    start = end == std::string::npos ? text.size() : end + 1;
  }
  while (start < text.size()) {
    HistoryLine line;
    line.number = lines.size() + 1;
    size_t end = text.find('\n', start);
    line.complete = end != std::string::npos;
    if (!line.complete) end = text.size();
    line.text = text.substr(start, end - start);
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool writeOnce(int fd, const std::string& bytes, std::string* why) {
  for (;;) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      *why = systemCause("it could not be written", errno);
      return false;
    }
    if (static_cast<size_t>(written) != bytes.size()) {
      *why = "it was written only in part (the disk may be full)";
      return false;
    }
    return true;
  }
}

// The newest lines that leave room for one more record of recordBytes within the limits, then
// the record: the history as it is after trimming.
std::string trimmedWith(const std::vector<HistoryLine>& lines, const std::string& record,
                        const HistoryLimits& limits) {
  const size_t roomForLines = limits.maxRecords > 0 ? limits.maxRecords - 1 : 0;
  size_t keptBytes = record.size() + 1;
  size_t first = lines.size();
  while (first > 0 && lines.size() - first < roomForLines &&
         keptBytes + lines[first - 1].text.size() + 1 <= limits.maxBytes) {
    --first;
    keptBytes += lines[first].text.size() + 1;
  }
  std::string text;
  text.reserve(keptBytes);
  for (size_t i = first; i < lines.size(); ++i) text += lines[i].text + '\n';
  return text + record + '\n';
}

// Adds the record to the open history file, trimming it when the record would pass a limit.
bool appendLocked(int fd, const std::string& path, const std::string& record, const HistoryLimits& limits,
                  std::string* why) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *why = "it is not a regular file";
    return false;
  }
  std::string text;
  bool cutAtStart = false;
  if (!readTail(fd, info.st_size, limits.maxBytes, &text, &cutAtStart)) {
    *why = systemCause("it could not be read", errno);
    return false;
  }
  std::vector<HistoryLine> lines = splitLines(text, cutAtStart);
  const bool full = cutAtStart || lines.size() + 1 > limits.maxRecords ||
                    static_cast<size_t>(info.st_size) + record.size() + 2 > limits.maxBytes;
  if (full) {
    const std::string trimmed = trimmedWith(lines, record, limits);
    int error = 0;
    if (AtomicFile_Write(path.c_str(), trimmed.data(), trimmed.size(), &error) == aErrNone) return true;
    *why = systemCause("it could not be trimmed", error);
    return false;
  }
  // A line cut by a crash keeps its bytes; the record starts on a line of its own.
  const bool lastLineCut = !text.empty() && text.back() != '\n';
  return writeOnce(fd, (lastLineCut ? "\n" : "") + record + '\n', why);
}

}  // namespace

std::string DeviceHistory_Path(const std::string& deviceDirectory) {
  return UpdaterStore::JoinPath(deviceDirectory, kHistoryFileName);
}

bool DeviceHistory_Append(const std::string& deviceDirectory, const std::string& record, std::string* why,
                          const HistoryLimits& limits) {
  if (record.find('\n') != std::string::npos) {
    *why = "a record must be one line";
    return false;
  }
  StoreLock lock(UpdaterStore::JoinPath(deviceDirectory, KeyValueStore::DEFAULT_FILENAME));
  switch (lock.acquire(limits.lockWaitMs)) {
    case StoreLock::Outcome::Busy: *why = "another run held the device's lock too long"; return false;
    case StoreLock::Outcome::NotRegular: *why = "the device's lock file is not a regular file"; return false;
    case StoreLock::Outcome::Locked: break;
  }
  const std::string path = DeviceHistory_Path(deviceDirectory);
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | kOpenFlags, 0666);
  if (fd < 0) {
    *why = systemCause("it could not be opened", errno);
    return false;
  }
  const bool appended = appendLocked(fd, path, record, limits, why);
  close(fd);
  return appended;
}

bool DeviceHistory_Read(const std::string& deviceDirectory, HistoryText* history, std::string* why,
                        size_t readLimit) {
  *history = HistoryText();
  int fd = open(DeviceHistory_Path(deviceDirectory).c_str(), O_RDONLY | kOpenFlags);
  if (fd < 0 && errno == ENOENT) return true;
  if (fd < 0) {
    *why = systemCause("it could not be opened", errno);
    return false;
  }
  struct stat info;
  std::string text;
  bool cutAtStart = false;
  bool read = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (!read) {
    *why = "it is not a regular file";
  } else if (!readTail(fd, info.st_size, readLimit, &text, &cutAtStart)) {
    *why = systemCause("it could not be read", errno);
    read = false;
  }
  close(fd);
  if (!read) return false;
  history->present = true;
  history->lines = splitLines(text, cutAtStart);
  return true;
}
