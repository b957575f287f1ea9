#include "aPacketFifo.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;

// The registry holds one reference to each queue and every operation holds another while it
// runs, so a destroyed queue's storage lives on until the last waiter it woke has left it.
struct packetFifo {
  std::mutex mutex;
  std::condition_variable condition;
  std::list<aPacket> packets;
  int64_t count = 0;        // -1 once destroyed
  uint64_t puts = 0;        // grows with every put; waiters watch it for new arrivals
  uint16_t check = kPacketFifoCheck;
};
using FifoPtr = std::shared_ptr<packetFifo>;

struct Registry {
  std::mutex mutex;
  std::unordered_map<aPacketFifoRef, FifoPtr> queues;
  aPacketFifoRef next = 1;
};

Registry& registry() {
  // Never destroyed: link threads may still use queues while the process exits.
  static Registry* instance = new Registry;
  return *instance;
}

FifoPtr lookUp(aPacketFifoRef handle) {
  Registry& all = registry();
  std::lock_guard<std::mutex> lock(all.mutex);
  auto found = all.queues.find(handle);
  if (found == all.queues.end() || found->second->check != kPacketFifoCheck) return nullptr;
  return found->second;
}

// Unlinks and returns the first packet the filter accepts (any packet without a filter).
bool takeFirst(packetFifo& fifo, aPacketFilter filter, const void* ref, aPacket* out) {
  for (auto node = fifo.packets.begin(); node != fifo.packets.end(); ++node) {
    if (filter == nullptr || filter(&*node, ref)) {
      *out = *node;
      fifo.packets.erase(node);
      --fifo.count;
      return true;
    }
  }
  return false;
}

// Copies out the first accepted packet, waiting until the deadline for one to arrive.
// A null filter takes the oldest packet.
aPacket* awaitFirst(aPacketFifoRef handle, aPacketFilter filter, const void* ref, bool wait,
                    Clock::time_point deadline) {
  FifoPtr fifo = lookUp(handle);
  if (!fifo) return nullptr;
  aPacket* result = aPacket_Create();
  if (result == nullptr) return nullptr;
  std::unique_lock<std::mutex> lock(fifo->mutex);
  for (;;) {
    if (fifo->count < 0) break;
    if (takeFirst(*fifo, filter, ref, result)) return result;
    if (!wait) break;
    uint64_t seen = fifo->puts;
    bool woken = fifo->condition.wait_until(lock, deadline,
                                            [&] { return fifo->count < 0 || fifo->puts != seen; });
    if (!woken) break;
  }
  lock.unlock();
  (void)aPacket_Destroy(&result);  // fails only for a null packet
  return nullptr;
}

// Waits are capped at about 24 days so that the deadline cannot overflow the clock.
constexpr unsigned long kLongestWaitMs = 0x7FFFFFFFul;

Clock::time_point deadlineAfter(unsigned long timeoutMs) {
  if (timeoutMs > kLongestWaitMs) timeoutMs = kLongestWaitMs;
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

uint8_t drainAll(const aPacket*, const void*) { return 1; }

aPacketFifoRef aPacketFifo_Create() {
  FifoPtr fifo;
  try {
    fifo = std::make_shared<packetFifo>();
    Registry& all = registry();
    std::lock_guard<std::mutex> lock(all.mutex);
    aPacketFifoRef handle = all.next;
    all.queues.emplace(handle, fifo);
    ++all.next;
    return handle;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoRef* handle) {
  if (handle == nullptr) return aErrNotFound;
  FifoPtr fifo;
  {
    Registry& all = registry();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto found = all.queues.find(*handle);
    if (found == all.queues.end()) return aErrNotFound;
    fifo = std::move(found->second);
    all.queues.erase(found);
  }
  {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    fifo->packets.clear();
    fifo->check = 0;
    fifo->count = -1;
  }
  fifo->condition.notify_all();
  *handle = 0;
  return aErrNone;
}

int64_t aPacketFifo_GetLength(aPacketFifoRef handle) {
  FifoPtr fifo = lookUp(handle);
  if (!fifo) return 0;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  return fifo->count;
}

aErr aPacketFifo_Put(aPacketFifoRef handle, const aPacket* packet) {
  FifoPtr fifo = lookUp(handle);
  if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
  std::list<aPacket> node;
  try {
    node.push_back(*packet);
  } catch (const std::bad_alloc&) {
    return aErrResource;
  }
  {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->count < 0) return aErrCancel;
    fifo->packets.splice(fifo->packets.end(), node);
    ++fifo->count;
    ++fifo->puts;
    if (fifo->count > kPacketFifoCapacity) {
      // A consumer that stopped reading must not make the producer wait: purge everything,
      // including the packet just put. Waiting readers see a time-out.
      node.swap(fifo->packets);
      fifo->count = 0;
    }
  }
  // Several callers may wait on one queue with different filters; wake them all so the one the
  // packet is for is never left asleep.
  fifo->condition.notify_all();
  return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoRef handle) {
  return awaitFirst(handle, nullptr, nullptr, false, Clock::now());
}

aPacket* aPacketFifo_Await(aPacketFifoRef handle, unsigned long timeoutMs) {
  return awaitFirst(handle, nullptr, nullptr, true, deadlineAfter(timeoutMs));
}

aPacket* aPacketFifo_GetFirst(aPacketFifoRef handle, aPacketFilter filter, const void* ref) {
  if (filter == nullptr) return nullptr;
  return awaitFirst(handle, filter, ref, false, Clock::now());
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoRef handle, aPacketFilter filter, const void* ref,
                                unsigned long timeoutMs) {
  if (filter == nullptr) return nullptr;
  return awaitFirst(handle, filter, ref, true, deadlineAfter(timeoutMs));
}

unsigned aPacketFifo_DrainPackets(aPacketFifoRef handle, aPacketFilter filter, const void* ref) {
  FifoPtr fifo = lookUp(handle);
  if (!fifo || filter == nullptr) return 0;
  std::list<aPacket> removed;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  if (fifo->count <= 0) return 0;
  for (auto node = fifo->packets.begin(); node != fifo->packets.end();) {
    auto next = std::next(node);
    if (filter(&*node, ref)) removed.splice(removed.end(), fifo->packets, node);
    node = next;
  }
  fifo->count -= static_cast<int64_t>(removed.size());
  return static_cast<unsigned>(removed.size());
}
