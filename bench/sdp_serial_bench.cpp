// Times one image written and started through SDPLoader over Serial_SDPLoader, for
// bench/sdp_serial_bench.py. Prints one line of figures:
//   init_ms=N write_ms=N start_ms=N result=N bytes=N
//
//   sdp_serial_bench PORT LOAD_ADDRESS ENTRY_ADDRESS IMAGE
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "recovery/imx/SDPLoader.h"
#include "recovery/imx/Serial_SDPLoader.h"
#include "sdp_steps.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fputs("usage: sdp_serial_bench PORT LOAD_ADDRESS ENTRY_ADDRESS IMAGE\n", stderr);
    return 2;
  }
  unsigned int load = static_cast<unsigned int>(strtoul(argv[2], nullptr, 0));
  unsigned int entry = static_cast<unsigned int>(strtoul(argv[3], nullptr, 0));
  std::vector<unsigned char> image;
  if (!driver::readFile(argv[4], &image)) {
    fprintf(stderr, "sdp_serial_bench: cannot read %s\n", argv[4]);
    return 2;
  }
  SDPLoader loader;
  if (!loader.setLoader(std::make_unique<Serial_SDPLoader>(argv[1]))) return 2;

  Clock::time_point start = Clock::now();
  int result = loader.init();
  long long initMs = msSince(start);
  long long writeMs = 0;
  long long startMs = 0;
  if (result == SDPLoader::SDP_OK) {
    start = Clock::now();
    result = loader.writeLoader(image, load);
    writeMs = msSince(start);
    if (result == SDPLoader::SDP_OK) {
      start = Clock::now();
      loader.startLoader(entry);
      startMs = msSince(start);
    }
  }
  printf("init_ms=%lld write_ms=%lld start_ms=%lld result=%d bytes=%zu\n", initMs, writeMs, startMs, result,
         image.size());
  return result == SDPLoader::SDP_OK ? 0 : 1;
}
