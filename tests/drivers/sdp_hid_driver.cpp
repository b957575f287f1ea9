// Drives one SDPLoader over the boot ROM's USB HID device (HID_SDPLoader, 0x1FC9:0x0130) and
// prints the results as one JSON line, for the end-to-end tests over emulated USB.
//
//   sdp_hid_driver [-v] STEP...
//     write:ADDRESS:FILE   writeLoader with the bytes of FILE at ADDRESS
//     start:ADDRESS        startLoader
//     fingerprint          getFingerprint
//
// The loader is made and initialised once; the steps run in order on it and it is destroyed
// (closing the device) before the line is printed. -v sends the loader's log (DEBUG_iMXSerial)
// to standard error. Exit status 0 when every step ran (whatever its result), 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HID_SDPLoader.h"
#include "Log.h"
#include "SDPLoader.h"
#include "driver_support.h"

namespace {

int usage() {
  fputs("usage: sdp_hid_driver [-v] write:ADDRESS:FILE | start:ADDRESS | fingerprint ...\n", stderr);
  return 2;
}

bool parseAddress(const std::string& text, unsigned int* address) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long long value = strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull) return false;
  *address = static_cast<unsigned int>(value);
  return true;
}

bool readFile(const std::string& path, std::vector<unsigned char>* bytes) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
  bool ok = ferror(file) == 0;
  fclose(file);
  return ok;
}

std::string hex16(unsigned long value) {
  char text[17];
  snprintf(text, sizeof text, "%016lX", value);
  return text;
}

// Runs one step; false on a malformed step.
bool runStep(SDPLoader& loader, const std::string& step, std::string* json) {
  if (step == "fingerprint") {
    unsigned long fingerprint = 0;
    int result = loader.getFingerprint(fingerprint);
    *json = driver::Json()
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
    *json = driver::Json().field("step", "start").field("address", static_cast<long long>(address)).str();
    return true;
  }
  if (step.rfind("write:", 0) == 0) {
    size_t colon = step.find(':', 6);
    if (colon == std::string::npos || !parseAddress(step.substr(6, colon - 6), &address)) return false;
    std::vector<unsigned char> image;
    if (!readFile(step.substr(colon + 1), &image)) return false;
    int result = loader.writeLoader(image, address);
    *json = driver::Json()
                .field("step", "write")
                .field("address", static_cast<long long>(address))
                .field("size", static_cast<long long>(image.size()))
                .field("result", static_cast<long long>(result))
                .str();
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "-v") == 0) {
    Log::SetOutput(stderr);
    Log::ActivatePackage(DEBUG_iMXSerial);
    first = 2;
  }
  if (argc - first < 1) return usage();
  auto loader = std::make_unique<SDPLoader>();
  if (!loader->setLoader(new HID_SDPLoader(HID_SDPLoader::IMX_VENDOR_ID, HID_SDPLoader::IMX_PRODUCT_ID))) {
    return usage();
  }
  int init = loader->init();
  std::string steps = "[";
  if (init == SDPLoader::SDP_OK) {
    for (int i = first; i < argc; ++i) {
      std::string json;
      if (!runStep(*loader, argv[i], &json)) {
        fprintf(stderr, "sdp_hid_driver: bad step: %s\n", argv[i]);
        return usage();
      }
      if (steps.size() > 1) steps += ",";
      steps += json;
    }
  }
  steps += "]";
  loader.reset();
  driver::Json().field("init", static_cast<long long>(init)).raw("steps", steps).print();
  return 0;
}
