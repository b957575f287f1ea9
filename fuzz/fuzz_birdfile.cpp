// Fuzz target: loading a bird file and every operation on the loaded blocks (birdfile_harness.h).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"
#include "birdfile_harness.h"

namespace {
std::string scratchPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratchPath = fuzz::ScratchFile("fuzz_birdfile");
  atexit([] { remove(scratchPath.c_str()); });
  // Every log line is formatted (into /dev/null) so that its arguments are exercised too.
  Log::SetOutput(fopen("/dev/null", "w"));
  Log::ActivatePackage(0xFFFFFFFF);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)fuzz::RunBirdFileInput(data, size, scratchPath);  // refusing an input is a right answer
  return 0;
}
