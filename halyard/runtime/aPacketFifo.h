#pragma once
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

// Thread-safe packet queues named by handles from a process-wide registry. Handles start at 1,
// only grow and are never reused; 0 is never a valid handle.
//
// A queue holds at most 20 packets: the put that brings the count to 21 empties the whole
// queue (and still reports success). Packets are copied in and out; the queue never hands out
// its own storage. Every waiting call is woken by a put and by the destruction of its queue.
typedef uint64_t aPacketFifoRef;

constexpr uint16_t kPacketFifoCheck = 0xFEED;
constexpr int64_t kPacketFifoCapacity = 20;

// The filter that accepts every packet.
uint8_t drainAll(const aPacket* packet, const void* ref);

// 0 when memory runs out.
aPacketFifoRef aPacketFifo_Create();
// aErrNotFound for a null pointer or an unknown handle; zeroes the caller's handle.
[[nodiscard]] aErr aPacketFifo_Destroy(aPacketFifoRef* fifo);
// Number of queued packets; 0 for an unknown handle, -1 while being destroyed.
int64_t aPacketFifo_GetLength(aPacketFifoRef fifo);
[[nodiscard]] aErr aPacketFifo_Put(aPacketFifoRef fifo, const aPacket* packet);
// The results below are new packets the caller destroys, or null.
aPacket* aPacketFifo_Get(aPacketFifoRef fifo);
aPacket* aPacketFifo_Await(aPacketFifoRef fifo, unsigned long timeoutMs);
aPacket* aPacketFifo_GetFirst(aPacketFifoRef fifo, aPacketFilter filter, const void* ref);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoRef fifo, aPacketFilter filter, const void* ref,
                                unsigned long timeoutMs);
// Removes every queued packet the filter accepts; returns how many.
unsigned aPacketFifo_DrainPackets(aPacketFifoRef fifo, aPacketFilter filter, const void* ref);
