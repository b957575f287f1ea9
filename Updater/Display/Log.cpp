#include "Log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

FILE* Log::fh = nullptr;
uint32_t Log::package_bitmask = 0;
bool Log::timestamped = false;
void (*Log::copy)(const char*, size_t) = nullptr;

namespace {

void writeTimestamp() {
  char stamp[128];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  size_t length = strftime(stamp, sizeof stamp, Log::TIMESTAMP_FORMAT, &utc);
  fwrite(stamp, 1, length, stdout);
  fputs(Log::SEPARATOR, stdout);
}

}  // namespace

void Log::log(unsigned int package, const char* format, ...) {
  if (!enabled(package) || format == nullptr) return;
  if (timestamped && strlen(format) > 10) writeTimestamp();
  char record[RECORD_SIZE];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(record, sizeof record, format, args);
  va_end(args);
  if (length < 0) return;
  size_t size = static_cast<size_t>(length) < sizeof record ? static_cast<size_t>(length) : sizeof record - 1;
  if (copy != nullptr) copy(record, size);
  if (fh == nullptr) return;
  // One write per record so that records from two threads do not interleave.
  if (fh == stderr || fh == stdout) {
    ssize_t ignored = write(fileno(fh), record, size);
    (void)ignored;
  } else {
    fwrite(record, 1, size, fh);
  }
}

void Log::SetOutput(FILE* out) { fh = out; }

void Log::ActivatePackage(unsigned int mask) { package_bitmask |= mask; }

unsigned int Log::DeactivatePackage(unsigned int mask) {
  package_bitmask &= ~mask;
  return package_bitmask;
}
