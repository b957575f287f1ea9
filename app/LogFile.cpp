#include "LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Log.h"

namespace {

// Records held while the command line is parsed; more than this is not kept.
constexpr size_t kMaxHeldBytes = 1024 * 1024;
constexpr mode_t kLogFileMode = 0644;

std::mutex gLock;
std::string gPath;
int gFile = -1;
bool gHolding = false;
std::string gHeld;
bool gAtLineStart = true;
std::string gTag;      // after the time stamp of every line: the device of a run over several
std::string gPartial;  // the start of a line whose end has not been logged yet

std::string TimeStamp() {
  char stamp[128];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  size_t length = strftime(stamp, sizeof stamp, Log::TIMESTAMP_FORMAT, &utc);
  return std::string(stamp, length) + Log::SEPARATOR + gTag;
}

// The record with the time stamp before each line that begins in it (records may continue a line).
std::string Stamped(const char* record, size_t length) {
  const std::string stamp = TimeStamp();
  std::string text;
  text.reserve(length + stamp.size());
  for (size_t i = 0; i < length; ++i) {
    if (gAtLineStart && record[i] != '\n') text += stamp;
    text += record[i];
    gAtLineStart = record[i] == '\n';
  }
  return text;
}

std::string Warning(const std::string& path, int error) {
  return "Warning: could not write log file " + path + ": " + strerror(error);
}

// The held lines, stamped before the tag was known, with the tag after each stamp.
std::string TaggedLines(const std::string& stampedLines) {
  if (gTag.empty()) return stampedLines;
  std::string tagged;
  size_t start = 0;
  while (start < stampedLines.size()) {
    size_t end = stampedLines.find('\n', start);
    end = end == std::string::npos ? stampedLines.size() : end + 1;
    const size_t stampEnd = stampedLines.find(Log::SEPARATOR, start);
    if (stampEnd == std::string::npos || stampEnd >= end) {
      tagged.append(stampedLines, start, end - start);
    } else {
      const size_t afterStamp = stampEnd + strlen(Log::SEPARATOR);
      tagged.append(stampedLines, start, afterStamp - start);
      tagged += gTag;
      tagged.append(stampedLines, afterStamp, end - afterStamp);
    }
    start = end;
  }
  return tagged;
}

// Log::copy is left alone here: another thread may be logging while a write fails.
void StopCopying() {
  if (gFile >= 0) close(gFile);
  gFile = -1;
  gHolding = false;
  gHeld.clear();
  gHeld.shrink_to_fit();
  gPartial.clear();
}

// False, with errno set, when the text could not be written whole.
bool WriteAll(const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t count = write(gFile, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      if (count == 0) errno = EIO;
      return false;
    }
    written += static_cast<size_t>(count);
  }
  return true;
}

void CopyRecord(const char* record, size_t length) {
  std::lock_guard<std::mutex> hold(gLock);
  if (!gHolding && gFile < 0) return;
  std::string text = Stamped(record, length);
  if (gHolding) {
    if (gHeld.size() + text.size() <= kMaxHeldBytes) gHeld += text;
    return;
  }
  // Whole lines only, each in one write: the processes of a run over several devices append to
  // the same file, and their lines must not cut into each other.
  gPartial += text;
  const size_t end = gPartial.rfind('\n');
  if (end == std::string::npos && gPartial.size() < kMaxHeldBytes) return;
  const size_t whole = end == std::string::npos ? gPartial.size() : end + 1;
  const std::string lines = gPartial.substr(0, whole);
  gPartial.erase(0, whole);
  if (WriteAll(lines)) return;
  // One warning, then the run goes on without the file.
  const std::string warning = Warning(gPath, errno) + "\n";
  StopCopying();
  ssize_t ignored = write(STDERR_FILENO, warning.data(), warning.size());
  (void)ignored;
}

}  // namespace

namespace LogFile {

void Hold() {
  std::lock_guard<std::mutex> hold(gLock);
  gHolding = true;
  gAtLineStart = true;
  Log::copy = CopyRecord;
}

bool Open(const std::string& path, std::string* warning, const std::string& lineTag) {
  std::lock_guard<std::mutex> hold(gLock);
  const std::string heldBefore = gHolding ? gHeld : std::string();
  StopCopying();
  gTag = lineTag.empty() ? std::string() : lineTag + Log::SEPARATOR;
  const std::string held = TaggedLines(heldBefore);
  Log::copy = nullptr;
  gPath = path;
  // O_NONBLOCK: a FIFO without a reader must not stop the run.
  gFile = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, kLogFileMode);
  if (gFile < 0 || !WriteAll(held)) {
    *warning = Warning(path, errno);
    StopCopying();
    return false;
  }
  Log::copy = CopyRecord;
  return true;
}

void Close() {
  std::lock_guard<std::mutex> hold(gLock);
  if (gFile >= 0 && !gPartial.empty()) (void)WriteAll(gPartial);  // the run ends: its last words count
  StopCopying();
  Log::copy = nullptr;
}

}  // namespace LogFile
