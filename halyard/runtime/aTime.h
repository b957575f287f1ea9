#pragma once
#include <cstdint>

// Wall-clock milliseconds since the Unix epoch; 0 if the clock cannot be read.
uint64_t aTime_GetMSTicks();

// Sleeps ms milliseconds in slices of at most 999,999 microseconds; 0 returns at once.
void aTime_MSSleep(unsigned long ms);

// The microsecond slices aTime_MSSleep(ms) issues, in order; exposed so the slicing can be checked.
unsigned aTime_SleepSlices(unsigned long ms, unsigned long* slices, unsigned capacity);
