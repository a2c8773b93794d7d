#include "support/periodicThread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "testing/tempDir.h"

namespace kivo {

// That the holder goes without waiting out an hour's interval is shown by
// the metrics publisher's thread test, whose threads have one.
TEST(PeriodicThreadTest, RunsEachInterval) {
  std::atomic<int> runs{0};
  PeriodicThread thread("kivo-test", std::chrono::milliseconds(1), [&runs] { ++runs; });
  EXPECT_TRUE(waitFor([&runs] { return runs.load() >= 3; }));
}

}  // namespace kivo
