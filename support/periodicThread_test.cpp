#include "support/periodicThread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "testing/tempDir.h"

namespace kivo {

// The holder going without waiting out a long interval: the metrics publisher's test.
TEST(PeriodicThreadTest, RunsEachInterval) {
  std::atomic<int> runs{0};
  PeriodicThread thread("kivo-test", std::chrono::milliseconds(1), [&runs] { ++runs; });
  EXPECT_TRUE(waitFor([&runs] { return runs.load() >= 3; }));
}

}  // namespace kivo
