#pragma once
// A virtual millisecond clock for fuzz targets whose code under test paces itself with
// aTime_MSSleep: sleeping only moves the clock on, so an input that makes the code wait costs no
// real time. Include in exactly one source of a target; it takes the place of the runtime's
// aTime.cpp at link time (a target defines every function of that file, so the archive member is
// never pulled in; a duplicate symbol error means aTime.cpp gained a function to add here).
#include <cstdint>

#include "aTime.h"

namespace fuzz {
inline uint64_t& VirtualMilliseconds() {
  static uint64_t now = 1000000;
  return now;
}
}  // namespace fuzz

uint64_t aTime_GetMSTicks() { return fuzz::VirtualMilliseconds(); }

void aTime_MSSleep(unsigned long ms) { fuzz::VirtualMilliseconds() += ms; }

unsigned aTime_SleepSlices(unsigned long, unsigned long*, unsigned) { return 0; }
