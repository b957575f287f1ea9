#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted_ || format == nullptr) return;
  char text[MESSAGE_SIZE];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) return;
  if (level == ERROR) {
    error_message(text);
  } else {
    info_message(text);
  }
}
