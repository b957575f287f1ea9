#pragma once
// A per-process scratch file for fuzz targets whose code under test reads from a path.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

inline std::string ScratchDirectory() {
  if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

// A new empty file named after prefix; removed when the process exits normally.
inline std::string ScratchFile(const char* prefix) {
  std::string pattern = ScratchDirectory() + "/" + prefix + "-XXXXXX";
  int fd = mkstemp(&pattern[0]);
  if (fd < 0) {
    perror("mkstemp");
    abort();
  }
  close(fd);
  return pattern;
}

inline void WriteFileOrDie(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr || (size > 0 && fwrite(data, 1, size, file) != size) || fclose(file) != 0) {
    perror(path.c_str());
    abort();
  }
}

}  // namespace fuzz
