#include "support/FormattedText.h"

#include <cstdarg>
#include <cstdio>

std::string FormattedText(const char* pattern, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, pattern);
  vsnprintf(text, sizeof text, pattern, arguments);
  va_end(arguments);
  return text;
}
