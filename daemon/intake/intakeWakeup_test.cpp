#include "daemon/intake/intakeWakeup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace kivo {

static bool ends(std::future<void>& pause) {
  return pause.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

TEST(IntakeWakeupThreadTest, AReasonStaysPendingUntilAPauseWaitsForItAndTheStopEndsEveryPause) {
  std::atomic<int> stop{0};
  IntakeWakeup wakeup(stop);
  const timespec zero = {0, 0}, hour = {3600, 0};
  wakeup.notify(IntakeWakeup::kArrival);
  wakeup.pause(IntakeWakeup::kRoom, &zero);  // leaves the arrival pending
  auto arrival =
      std::async(std::launch::async, [&] { wakeup.pause(IntakeWakeup::kArrival, nullptr); });
  EXPECT_TRUE(ends(arrival)) << "an arrival during the pass ends the next pause at once";
  auto timed = std::async(std::launch::async, [&] { wakeup.pause(IntakeWakeup::kAny, &hour); });
  auto untimed =
      std::async(std::launch::async, [&] { wakeup.pause(IntakeWakeup::kRoom, nullptr); });
  stop.store(1);
  wakeup.wakeForStop();
  EXPECT_TRUE(ends(timed));
  EXPECT_TRUE(ends(untimed));
}

}  // namespace kivo
