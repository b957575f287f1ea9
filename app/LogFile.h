#pragma once
#include <string>

// The -k log file: a copy of every log record written (the packages enabled by -X), appended to
// a file, each line after a UTC time stamp in the log's own format ("2026:12:10:14:00:22 | ").
// Standard error gets the records as before.
namespace LogFile {

// Keeps the records logged from now on in memory until Open or Close: the command line names the
// file only once it has been parsed, and its parse writes records of its own.
void Hold();
// Appends the held records and every later one to path, whole lines at a time. lineTag, when not
// empty, follows the time stamp of every line ("2026:12:10:14:00:22 | 0F5849A1 | "): the processes
// of a run over several devices share the file. False, with a one-line warning in *warning, when
// the file cannot be opened for appending; nothing is copied then.
bool Open(const std::string& path, std::string* warning, const std::string& lineTag = std::string());
// Stops copying, drops what is held and closes the file.
void Close();

}  // namespace LogFile
