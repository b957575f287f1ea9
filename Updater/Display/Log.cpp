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

// Length of the UTF-8 sequence at record[0] that a terminal shows as a character (2 to 4), or 0:
// a stray or cut sequence, or one of the C1 controls U+0080..U+009F (C2 80..C2 9F).
size_t printableSequence(const unsigned char* bytes, size_t left) {
  const unsigned char lead = bytes[0];
  const size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || length > left) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return 0;
  }
  if (lead == 0xC2 && bytes[1] < 0xA0) return 0;
  return length;
}

}  // namespace

// Records carry bytes from outside (server replies, file fields, device strings, serial echoes):
// every control character but the line feed and the tab, and every byte that is no part of a
// printable UTF-8 character, becomes "?", so that no escape sequence reaches the terminal.
void Log::EscapeControls(char* record, size_t size) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(record);
  for (size_t i = 0; i < size;) {
    const unsigned char c = bytes[i];
    if (c >= 0x80) {
      const size_t length = printableSequence(bytes + i, size - i);
      if (length != 0) {
        i += length;
        continue;
      }
      bytes[i++] = '?';
      continue;
    }
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) bytes[i] = '?';
    ++i;
  }
}

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
  EscapeControls(record, size);
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
