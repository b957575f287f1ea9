// Packet queues: order, filters, the overflow purge, and waiting with real threads (producers
// on other threads, destruction under a waiter).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "aPacketFifo.h"

namespace {

// Created before any test runs, so it shows which handle the first queue of a process gets.
const aPacketFifoRef gFirstHandle = aPacketFifo_Create();

struct PacketDeleter {
  void operator()(aPacket* packet) const { (void)aPacket_Destroy(&packet); }  // deleter: null is fine
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr makePacket(uint8_t address, uint8_t tag) {
  return PacketPtr(aPacket_CreateWithData(address, 1, &tag));
}

aErr put(aPacketFifoRef fifo, uint8_t address, uint8_t tag) {
  PacketPtr packet = makePacket(address, tag);
  return aPacketFifo_Put(fifo, packet.get());
}

uint8_t matchAddress(const aPacket* packet, const void* ref) {
  return packet->address == *static_cast<const uint8_t*>(ref);
}

class Fifo : public ::testing::Test {
 protected:
  void SetUp() override {
    fifo = aPacketFifo_Create();
    ASSERT_NE(fifo, 0u);
  }
  void TearDown() override {
    if (fifo != 0) {
      EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&fifo));
    }
  }
  aPacketFifoRef fifo = 0;
};

TEST(FifoRegistry, FirstQueueOfTheProcessHasHandleOne) {
  EXPECT_EQ(gFirstHandle, 1u);
  aPacketFifoRef next = aPacketFifo_Create();
  EXPECT_GT(next, gFirstHandle);
  aPacketFifoRef copy = next;
  EXPECT_EQ(aPacketFifo_Destroy(&next), aErrNone);
  EXPECT_EQ(next, 0u);
  aPacketFifoRef after = aPacketFifo_Create();
  EXPECT_GT(after, copy);  // handles are never reused
  EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&after));
}

TEST_F(Fifo, GetReturnsOldestFirstAsCopies) {
  ASSERT_EQ(put(fifo, 2, 1), aErrNone);
  ASSERT_EQ(put(fifo, 4, 2), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 2);
  PacketPtr first(aPacketFifo_Get(fifo));
  PacketPtr second(aPacketFifo_Get(fifo));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->data[0], 1);
  EXPECT_EQ(second->data[0], 2);
  EXPECT_TRUE(aPacket_IsComplete(first.get()));
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
}

TEST_F(Fifo, TwentyFirstPutPurgesTheQueue) {
  for (uint8_t i = 0; i < 20; ++i) ASSERT_EQ(put(fifo, 2, i), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 20);
  EXPECT_EQ(put(fifo, 2, 20), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0);
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
  // The queue is usable again afterwards.
  ASSERT_EQ(put(fifo, 2, 99), aErrNone);
  PacketPtr packet(aPacketFifo_Get(fifo));
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->data[0], 99);
}

TEST_F(Fifo, GetFirstTakesTheMatchAndKeepsTheRestInOrder) {
  ASSERT_EQ(put(fifo, 2, 1), aErrNone);
  ASSERT_EQ(put(fifo, 4, 2), aErrNone);
  ASSERT_EQ(put(fifo, 6, 3), aErrNone);
  uint8_t wanted = 4;
  PacketPtr match(aPacketFifo_GetFirst(fifo, matchAddress, &wanted));
  ASSERT_TRUE(match);
  EXPECT_EQ(match->data[0], 2);
  uint8_t absent = 8;
  EXPECT_EQ(aPacketFifo_GetFirst(fifo, matchAddress, &absent), nullptr);
  PacketPtr first(aPacketFifo_Get(fifo));
  PacketPtr third(aPacketFifo_Get(fifo));
  ASSERT_TRUE(first && third);
  EXPECT_EQ(first->data[0], 1);
  EXPECT_EQ(third->data[0], 3);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0);
  // The tail was fixed up when the last node went: appending still works.
  ASSERT_EQ(put(fifo, 2, 4), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1);
}

TEST_F(Fifo, DrainRemovesOnlyMatchesAndCountsThem) {
  for (uint8_t address : {2, 4, 2, 6, 2}) ASSERT_EQ(put(fifo, address, address), aErrNone);
  uint8_t wanted = 2;
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, matchAddress, &wanted), 3u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 2);
  PacketPtr first(aPacketFifo_Get(fifo));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->address, 4);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, drainAll, nullptr), 1u);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, drainAll, nullptr), 0u);
  ASSERT_EQ(put(fifo, 8, 1), aErrNone);  // the tail is still right after draining the last node
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1);
}

TEST_F(Fifo, AwaitOnAnEmptyQueueTimesOutWithoutAPacket) {
  EXPECT_EQ(aPacketFifo_Await(fifo, 30), nullptr);
  uint8_t wanted = 2;
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, matchAddress, &wanted, 30), nullptr);
}

TEST_F(Fifo, AwaitIsWokenByAPutFromAnotherThread) {
  std::thread producer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(put(fifo, 2, 7), aErrNone);
  });
  // A wait far longer than the test's time limit: only the put can end it.
  PacketPtr packet(aPacketFifo_Await(fifo, 600000));
  producer.join();
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->data[0], 7);
}

TEST_F(Fifo, AwaitFirstSkipsOthersUntilItsPacketArrives) {
  ASSERT_EQ(put(fifo, 4, 1), aErrNone);  // not the one wanted; stays queued
  std::thread producer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(put(fifo, 6, 2), aErrNone);
    EXPECT_EQ(put(fifo, 2, 3), aErrNone);
  });
  uint8_t wanted = 2;
  PacketPtr packet(aPacketFifo_AwaitFirst(fifo, matchAddress, &wanted, 600000));
  producer.join();
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->data[0], 3);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 2);
}

TEST_F(Fifo, EveryWaiterWithItsOwnFilterGetsItsPacket) {
  // Two waiters for different addresses; each put must reach the waiter it is for, whichever
  // of them the queue wakes first.
  std::atomic<int> started{0};
  PacketPtr results[2];
  std::vector<std::thread> waiters;
  const uint8_t addresses[2] = {2, 4};
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&, i] {
      ++started;
      results[i].reset(aPacketFifo_AwaitFirst(fifo, matchAddress, &addresses[i], 600000));
    });
  }
  while (started < 2) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(put(fifo, 4, 40), aErrNone);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(put(fifo, 2, 20), aErrNone);
  for (std::thread& waiter : waiters) waiter.join();
  ASSERT_TRUE(results[0] && results[1]);
  EXPECT_EQ(results[0]->data[0], 20);
  EXPECT_EQ(results[1]->data[0], 40);
}

TEST_F(Fifo, DestroyWakesEveryWaiterWithoutAPacket) {
  std::atomic<int> waiting{0};
  std::atomic<int> returnedEmpty{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&, i] {
      ++waiting;
      uint8_t wanted = 2;
      aPacket* packet = i == 0 ? aPacketFifo_Await(fifo, 600000)
                               : aPacketFifo_AwaitFirst(fifo, matchAddress, &wanted, 600000);
      if (packet == nullptr) ++returnedEmpty;
      (void)aPacket_Destroy(&packet);  // null when the FIFO went away
    });
  }
  while (waiting < 3) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  EXPECT_EQ(fifo, 0u);
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(returnedEmpty, 3);
}

TEST(FifoRefusals, UnknownAndDestroyedHandles) {
  aPacketFifoRef fifo = aPacketFifo_Create();
  aPacketFifoRef dead = fifo;
  ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  PacketPtr packet = makePacket(2, 1);
  EXPECT_EQ(aPacketFifo_Put(dead, packet.get()), aErrParam);
  EXPECT_EQ(aPacketFifo_Get(dead), nullptr);
  EXPECT_EQ(aPacketFifo_Await(dead, 600000), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(dead), 0);
  EXPECT_EQ(aPacketFifo_DrainPackets(dead, drainAll, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&dead), aErrNotFound);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrNotFound);
  aPacketFifoRef zero = 0;
  EXPECT_EQ(aPacketFifo_Destroy(&zero), aErrNotFound);

  aPacketFifoRef live = aPacketFifo_Create();
  EXPECT_EQ(aPacketFifo_Put(live, nullptr), aErrParam);
  aPacket forged = {};
  EXPECT_EQ(aPacketFifo_Put(live, &forged), aErrParam);
  EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&live));
}

TEST(FifoThreads, ProducersAndConsumersLoseNothingBelowCapacity) {
  // Four producers each put 500 packets, never more than the capacity outstanding (each waits
  // for a token), and two consumers take them: every packet arrives exactly once.
  aPacketFifoRef fifo = aPacketFifo_Create();
  constexpr int kProducers = 4, kEach = 500;
  std::atomic<int> outstanding{0}, consumed{0};
  std::vector<std::atomic<int>> seen(kProducers * kEach);
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        while (outstanding.fetch_add(1) >= 16) {
          --outstanding;
          std::this_thread::yield();
        }
        uint8_t data[2] = {static_cast<uint8_t>(p), static_cast<uint8_t>(i % 250)};
        PacketPtr packet(aPacket_CreateWithData(static_cast<uint8_t>(2 + 2 * (i / 250)), 2, data));
        EXPECT_EQ(aPacketFifo_Put(fifo, packet.get()), aErrNone);
      }
    });
  }
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&] {
      while (consumed < kProducers * kEach) {
        PacketPtr packet(aPacketFifo_Await(fifo, 50));
        if (!packet) continue;
        int index = packet->data[0] * kEach + (packet->address - 2) / 2 * 250 + packet->data[1];
        ++seen[index];
        ++consumed;
        --outstanding;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kProducers * kEach; ++i) EXPECT_EQ(seen[i], 1) << i;
  EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&fifo));
}

}  // namespace
