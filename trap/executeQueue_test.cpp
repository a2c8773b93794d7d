#include "trap/ExecuteQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace kivo {

namespace {

TEST(ExecuteQueue, FirstInFirstOutAndEmptyPopRaises) {
  ExecuteQueue<int> queue;
  EXPECT_TRUE(queue.empty());
  queue.push(1);
  queue.push(2);
  EXPECT_FALSE(queue.empty());
  EXPECT_EQ(queue.pop(), 1);
  EXPECT_EQ(queue.pop(), 2);
  try {
    queue.pop();
    FAIL() << "pop on an empty queue must raise";
  } catch (const EmptyQueueException& e) {
    EXPECT_STREQ(e.what(), "queue is empty");
  }
  queue.push(3);
  EXPECT_EQ(queue.pop(), 3) << "the queue stays usable after the exception";
}

TEST(ExecuteQueue, WaitReturnsAtOnceWhenQueuedOrFlagSet) {
  ExecuteQueue<int> queue;
  std::atomic<int> die{0};
  queue.push(1);
  queue.waitNotEmptyOrDie(&die);
  queue.pop();
  die = 1;
  queue.waitNotEmptyOrDie(&die);
  SUCCEED();
}

// Consumers loop the way the workers do: wait, test, pop, until the flag.
void consume(ExecuteQueue<int>& queue, const std::atomic<int>& die, std::vector<int>& taken) {
  while (die.load() == 0) {
    queue.waitNotEmptyOrDie(&die);
    if (queue.empty()) continue;
    try {
      taken.push_back(queue.pop());
    } catch (const EmptyQueueException&) {
    }
  }
}

TEST(ExecuteQueueThreadTest, EveryElementReachesExactlyOneConsumer) {
  ExecuteQueue<int> queue;
  std::atomic<int> die{0};
  const int kConsumers = 4;
  const int kElements = 20000;
  std::vector<std::vector<int>> taken(kConsumers);
  std::vector<std::thread> consumers;
  for (int i = 0; i < kConsumers; ++i) {
    consumers.emplace_back(consume, std::ref(queue), std::cref(die), std::ref(taken[i]));
  }
  for (int i = 0; i < kElements; ++i) queue.push(i);
  ASSERT_TRUE([&] {
    for (int round = 0; round < 4000 && !queue.empty(); ++round) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return queue.empty();
  }()) << "consumers must drain the queue";
  queue.lock();
  die = 1;
  queue.unlock();
  queue.broadcast();
  for (std::thread& consumer : consumers) consumer.join();

  std::vector<int> seen(kElements, 0);
  for (const std::vector<int>& list : taken) {
    for (size_t k = 1; k < list.size(); ++k) {
      EXPECT_LT(list[k - 1], list[k]) << "each consumer sees elements in queue order";
    }
    for (int value : list) ++seen[value];
  }
  for (int i = 0; i < kElements; ++i) ASSERT_EQ(seen[i], 1) << "element " << i;
}

TEST(ExecuteQueueThreadTest, BlockedConsumersWakeForPushAndForShutdown) {
  ExecuteQueue<int> queue;
  std::atomic<int> die{0};
  std::atomic<int> returned{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      queue.waitNotEmptyOrDie(&die);
      ++returned;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(returned.load(), 0) << "nothing queued, no flag: everyone waits";
  queue.push(7);
  for (int round = 0; round < 2000 && returned.load() == 0; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(returned.load(), 1) << "a push wakes a waiter";
  EXPECT_EQ(queue.pop(), 7);
  queue.lock();
  die = 1;
  queue.unlock();
  queue.broadcast();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(returned.load(), 3) << "the shutdown broadcast wakes every waiter";
}

}  // namespace

}  // namespace kivo
