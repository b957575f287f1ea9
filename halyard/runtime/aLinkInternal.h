#pragma once
// Engine internals for tests and benchmarks only; nothing in the product calls these.
#include <cstddef>
#include <cstdint>

#include "aStream.h"

// How long a link's reader lets its stream wait for a byte before it polls again.
constexpr unsigned kLinkReadyWaitMs = 5;

// true: links started from now on poll their stream every 5 microseconds with no readiness
// wait (the original reader loop), for side-by-side measurements. Default false.
void aLink_SetLiteralPolling(bool literal);
// Number of entries in the link table.
size_t aLink_TableSize();
// Use count of a link, 0 for an unknown identifier.
int aLink_UseCount(uint32_t id);

// A link over a caller's stream (owned from here on, also when the create fails) whose reader
// and writer run no threads: it is running as a started link is once its reader has begun, and
// the two calls below do the threads' work on the calling thread. Freed with aLink_Destroy.
uint32_t aLink_CreateDriven(aStreamRef stream);
// Reads and handles bytes as the reader thread does, until the stream answers anything but a
// byte (that answer is handled too: not ready ends the call, an error sets linkIOError). Returns
// the number of bytes handled; 0 for a link that is not driven.
size_t aLink_DriveReader(uint32_t id);
// Writes the queued outbound packets as the writer does when the link stops (no pacing).
// Returns the number taken; 0 for a link that is not driven.
size_t aLink_DriveWriter(uint32_t id);
