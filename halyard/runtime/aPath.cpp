#include "aPath.h"

#include <cstdarg>

std::string BuildPath(const char* first, ...) {
  if (first == nullptr) return std::string();
  std::string path(first);
  va_list args;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
    path += '/';
    path += part;
  }
  va_end(args);
  return path;
}
