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

#include "Log.h"
#include "recovery/imx/HID_SDPLoader.h"
#include "recovery/imx/SDPLoader.h"
#include "sdp_steps.h"

namespace {

int usage() {
  fputs("usage: sdp_hid_driver [-v] write:ADDRESS:FILE | start:ADDRESS | fingerprint ...\n", stderr);
  return 2;
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
  if (!loader->setLoader(std::make_unique<HID_SDPLoader>(HID_SDPLoader::IMX_VENDOR_ID, HID_SDPLoader::IMX_PRODUCT_ID))) {
    return usage();
  }
  int init = loader->init();
  std::string steps = "[";
  if (init == SDPLoader::SDP_OK) {
    for (int i = first; i < argc; ++i) {
      std::string json;
      if (!driver::runSdpStep(*loader, argv[i], &json)) {
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
