#pragma once
#include <cstddef>
#include <string>
#include <vector>

// The history of one device: a text file in its directory of the store, one record per line,
// oldest first. Each record is added with a single write() to the file opened for appending
// (O_APPEND), under the device's lock (the lock of its settings file), so records of runs at
// the same time never interleave and what is there is never rewritten, except when the history
// is trimmed to its bound: then the newest records are kept and the file is replaced as a whole
// (AtomicFile_Write). Neither the file nor its lock is ever opened through a symbolic link, and
// only a regular file is read or written.
constexpr const char* kHistoryFileName = ".history";

struct HistoryLimits {
  size_t maxRecords = 1000;     // the newest records kept
  size_t maxBytes = 1 << 20;    // and at most this many bytes of them
  unsigned long lockWaitMs = 5000;
};

// The history file of the device directory.
std::string DeviceHistory_Path(const std::string& deviceDirectory);

// Appends record (one line of text without a line feed; one that holds a line feed is refused)
// to the history in deviceDirectory, creating the file when there is none. A last line that a
// crash cut before its line feed stays as it is, and the new record starts on a line of its own.
// True when the record was written; else false with *why saying why, in a few words.
[[nodiscard]] bool DeviceHistory_Append(const std::string& deviceDirectory, const std::string& record,
                                        std::string* why, const HistoryLimits& limits = HistoryLimits());

// One line of the history as read.
struct HistoryLine {
  size_t number = 0;     // 1 for the first line read
  std::string text;      // without its line feed
  bool complete = true;  // false for a last line that has no line feed (cut by a crash)
};

struct HistoryText {
  bool present = false;  // false when the device has no history file
  std::vector<HistoryLine> lines;
};

// Reads the history in deviceDirectory without creating or locking anything. A file larger than
// readLimit bytes (only a file not written by this program is) is read from its last readLimit
// bytes, whole lines only. False, with *why, when the file is there but cannot be read.
[[nodiscard]] bool DeviceHistory_Read(const std::string& deviceDirectory, HistoryText* history, std::string* why,
                                      size_t readLimit = 4 << 20);
