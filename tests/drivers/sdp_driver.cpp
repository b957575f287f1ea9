// Drives one SDPLoader over a serial port and prints the results as one JSON line, for the
// end-to-end tests against the simulated i.MX boot ROM.
//
//   sdp_driver [-v] PORT STEP...
//     write:ADDRESS:FILE   writeLoader with the bytes of FILE at ADDRESS
//     start:ADDRESS        startLoader
//     fingerprint          getFingerprint
//
// The loader is made and initialised once; the steps run in order on it. -v sends the loader's
// log (DEBUG_iMXSerial) to standard error. Exit status 0 when every step ran (whatever its
// result), 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Log.h"
#include "recovery/imx/SDPLoader.h"
#include "recovery/imx/Serial_SDPLoader.h"
#include "sdp_steps.h"

namespace {

int usage() {
  fputs("usage: sdp_driver [-v] PORT write:ADDRESS:FILE | start:ADDRESS | fingerprint ...\n", stderr);
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
  if (argc - first < 2) return usage();
  SDPLoader loader;
  if (!loader.setLoader(std::make_unique<Serial_SDPLoader>(argv[first]))) return usage();
  int init = loader.init();
  std::string steps = "[";
  if (init == SDPLoader::SDP_OK) {
    for (int i = first + 1; i < argc; ++i) {
      std::string json;
      if (!driver::runSdpStep(loader, argv[i], &json)) {
        fprintf(stderr, "sdp_driver: bad step: %s\n", argv[i]);
        return usage();
      }
      if (steps.size() > 1) steps += ",";
      steps += json;
    }
  }
  steps += "]";
  driver::Json().field("init", static_cast<long long>(init)).raw("steps", steps).print();
  return 0;
}
