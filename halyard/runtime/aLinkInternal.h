#pragma once
// Engine internals for tests and benchmarks only; nothing in the product calls these.
#include <cstddef>
#include <cstdint>

// How long a link's reader lets its stream wait for a byte before it polls again.
constexpr unsigned kLinkReadyWaitMs = 5;

// true: links started from now on poll their stream every 5 microseconds with no readiness
// wait (the original reader loop), for side-by-side measurements. Default false.
void aLink_SetLiteralPolling(bool literal);
// Number of entries in the link table.
size_t aLink_TableSize();
// Use count of a link, 0 for an unknown identifier.
int aLink_UseCount(uint32_t id);
