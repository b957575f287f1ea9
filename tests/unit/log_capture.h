#pragma once
// The diagnostic log of one scope, captured in a temporary file.
#include <cstdint>
#include <cstdio>
#include <string>

#include "Log.h"

// Routes the log into a temporary file with the given packages enabled, for one scope.
class LogCapture {
 public:
  explicit LogCapture(unsigned int packages) : file_(tmpfile()), savedFile_(Log::fh), savedMask_(Log::package_bitmask) {
    Log::SetOutput(file_);
    Log::package_bitmask = packages;
  }
  ~LogCapture() {
    Log::SetOutput(savedFile_);
    Log::package_bitmask = savedMask_;
    if (file_ != nullptr) fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    if (file_ == nullptr) return std::string();
    fflush(file_);
    std::string all;
    rewind(file_);
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file_)) > 0) all.append(buffer, count);
    fseek(file_, 0, SEEK_END);
    return all;
  }
  bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }

 private:
  FILE* file_;
  FILE* savedFile_;
  uint32_t savedMask_;
};
