#include "support/periodicThread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "testing/tempDir.h"

namespace kivo {

namespace {

TEST(PeriodicThreadTest, RunsAgainAndAgainUntilTheHolderGoes) {
  std::atomic<int> runs{0};
  kivo::PeriodicThread thread("kivo-test", std::chrono::milliseconds(1), [&runs] { ++runs; });
  EXPECT_TRUE(waitFor([&runs] { return runs.load() >= 3; }));
}

TEST(PeriodicThreadTest, TheHolderGoesWithoutWaitingForTheInterval) {
  std::atomic<int> runs{0};
  // With an hour's interval, a destructor that waited would hang the test.
  { kivo::PeriodicThread thread("kivo-test", std::chrono::hours(1), [&runs] { ++runs; }); }
  EXPECT_EQ(runs.load(), 0) << "the first run comes one interval after the start";
}

}  // namespace

}  // namespace kivo
