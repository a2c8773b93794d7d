#include "trap/ExecuteQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "testing/tempDir.h"

namespace kivo {

// Consumers loop the way the workers do: wait, pop, until the flag.
TEST(ExecuteQueueThreadTest, EveryElementReachesExactlyOneConsumerInOrder) {
  ExecuteQueue<int> queue;
  std::atomic<int> die{0}, taken{0};
  const int kConsumers = 4, kElements = 20000;
  std::vector<std::vector<int>> lists(kConsumers);
  std::vector<std::thread> consumers;
  for (int i = 0; i < kConsumers; ++i) {
    consumers.emplace_back([&, i] {
      while (die.load() == 0) {
        queue.waitNotEmptyOrDie(&die);
        try {
          lists[i].push_back(queue.pop());
          ++taken;
        } catch (const EmptyQueueException&) {
        }
      }
    });
  }
  for (int i = 0; i < kElements; ++i) queue.push(i);
  EXPECT_TRUE(waitFor([&] { return taken.load() == kElements; })) << "the queue is drained";
  queue.lock();
  die = 1;
  queue.unlock();
  queue.broadcast();
  for (std::thread& consumer : consumers) consumer.join();
  EXPECT_THROW(queue.pop(), EmptyQueueException) << "an empty queue";
  std::vector<int> seen(kElements, 0);
  for (const std::vector<int>& list : lists) {
    for (size_t k = 1; k < list.size(); ++k) EXPECT_LT(list[k - 1], list[k]) << "queue order";
    for (int value : list) ++seen[value];
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kElements) << "each exactly once";
}

}  // namespace kivo
