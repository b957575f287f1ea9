#pragma once
// The steps the SDP drivers run on one SDPLoader, whatever its transport:
//   write:ADDRESS:FILE   writeLoader with the bytes of FILE at ADDRESS
//   start:ADDRESS        startLoader
//   fingerprint          getFingerprint
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver_support.h"
#include "recovery/imx/SDPLoader.h"

namespace driver {

inline bool readFile(const std::string& path, std::vector<unsigned char>* bytes) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
  bool ok = ferror(file) == 0;
  fclose(file);
  return ok;
}

inline bool parseAddress(const std::string& text, unsigned int* address) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long long value = strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull) return false;
  *address = static_cast<unsigned int>(value);
  return true;
}

inline std::string hex16(unsigned long value) {
  char text[17];
  snprintf(text, sizeof text, "%016lX", value);
  return text;
}

// Runs one step and sets *json to its result; false on a malformed step.
inline bool runSdpStep(SDPLoader& loader, const std::string& step, std::string* json) {
  if (step == "fingerprint") {
    unsigned long fingerprint = 0;
    int result = loader.getFingerprint(fingerprint);
    *json = Json()
                .field("step", step)
                .field("result", static_cast<long long>(result))
                .field("fingerprint", hex16(fingerprint))
                .str();
    return true;
  }
  unsigned int address = 0;
  if (step.rfind("start:", 0) == 0) {
    if (!parseAddress(step.substr(6), &address)) return false;
    loader.startLoader(address);
    *json = Json().field("step", "start").field("address", static_cast<long long>(address)).str();
    return true;
  }
  if (step.rfind("write:", 0) == 0) {
    size_t colon = step.find(':', 6);
    if (colon == std::string::npos || !parseAddress(step.substr(6, colon - 6), &address)) return false;
    std::vector<unsigned char> image;
    if (!readFile(step.substr(colon + 1), &image)) return false;
    int result = loader.writeLoader(image, address);
    *json = Json()
                .field("step", "write")
                .field("address", static_cast<long long>(address))
                .field("size", static_cast<long long>(image.size()))
                .field("result", static_cast<long long>(result))
                .str();
    return true;
  }
  return false;
}

}  // namespace driver
