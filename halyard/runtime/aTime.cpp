#include "aTime.h"

#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr unsigned long kMaxSliceUs = 999999;

// Calls onSlice with each microsecond slice that makes up ms milliseconds.
template <typename OnSlice>
unsigned forEachSlice(unsigned long ms, OnSlice onSlice) {
  unsigned long long remaining = static_cast<unsigned long long>(ms) * 1000ull;
  unsigned count = 0;
  while (remaining > 0) {
    unsigned long slice = remaining > kMaxSliceUs ? kMaxSliceUs : static_cast<unsigned long>(remaining);
    onSlice(count++, slice);
    remaining -= slice;
  }
  return count;
}

}  // namespace

uint64_t aTime_GetMSTicks() {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

unsigned aTime_SleepSlices(unsigned long ms, unsigned long* slices, unsigned capacity) {
  return forEachSlice(ms, [&](unsigned index, unsigned long slice) {
    if (slices && index < capacity) slices[index] = slice;
  });
}

void aTime_MSSleep(unsigned long ms) {
  forEachSlice(ms, [](unsigned, unsigned long slice) { usleep(static_cast<useconds_t>(slice)); });
}
