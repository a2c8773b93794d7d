#include "support/periodicThread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "testing/tempDir.h"

namespace kivo {

// With an hour's interval, a destructor that waited would hang the test.
TEST(PeriodicThreadTest, RunsEachIntervalAndTheHolderGoesWithoutWaiting) {
  std::atomic<int> runs{0}, never{0};
  {
    PeriodicThread idle("kivo-test", std::chrono::hours(1), [&never] { ++never; });
  }
  PeriodicThread thread("kivo-test", std::chrono::milliseconds(1), [&runs] { ++runs; });
  EXPECT_TRUE(waitFor([&runs] { return runs.load() >= 3; }));
  EXPECT_EQ(never.load(), 0) << "the first run comes one interval after the start";
}

}  // namespace kivo
