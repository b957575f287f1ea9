// Fuzz target: reading a settings file (settings_harness.h).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"
#include "settings_harness.h"

namespace {
std::string inputPath;
std::string savedPath;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  inputPath = fuzz::ScratchFile("fuzz_settings_in");
  savedPath = fuzz::ScratchFile("fuzz_settings_out");
  atexit([] {
    remove(inputPath.c_str());
    remove(savedPath.c_str());
  });
  Log::SetOutput(fopen("/dev/null", "w"));
  Log::ActivatePackage(0xFFFFFFFF);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)fuzz::RunSettingsInput(data, size, inputPath, savedPath);  // refusing an input is a right answer
  return 0;
}
