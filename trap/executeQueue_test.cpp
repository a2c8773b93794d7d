#include "trap/ExecuteQueue.h"

#include <gtest/gtest.h>

namespace kivo {

// Many consumers, their wake-up at the stop and each element reaching one of
// them: trapWorker_test; the order: spoolIntake_test.
TEST(ExecuteQueue, PopOfAnEmptyQueueThrows) {
  ExecuteQueue<int> queue;
  queue.push(7);
  EXPECT_EQ(queue.pop(), 7);
  EXPECT_THROW(queue.pop(), EmptyQueueException);
}

}  // namespace kivo
