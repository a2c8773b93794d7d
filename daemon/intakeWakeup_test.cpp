#include "daemon/intakeWakeup.h"

#include <gtest/gtest.h>

#include <future>

namespace kivo {

namespace {

TEST(IntakeWakeup, ReasonsStayPendingUntilAPauseWaitsForThem) {
  std::atomic<int> stop{0};
  IntakeWakeup wakeup(stop);
  const timespec zero = {0, 0};
  wakeup.notify(IntakeWakeup::kArrival);
  // A pause for room leaves the arrival pending.
  wakeup.pause(IntakeWakeup::kRoom, &zero);
  auto arrival = std::async(std::launch::async,
                            [&] { wakeup.pause(IntakeWakeup::kArrival, nullptr); });
  EXPECT_EQ(arrival.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "an arrival during the pass ends the next pause at once";

  auto room = std::async(std::launch::async, [&] { wakeup.pause(IntakeWakeup::kRoom, nullptr); });
  wakeup.notify(IntakeWakeup::kRoom);
  EXPECT_EQ(room.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "room";
}

TEST(IntakeWakeup, TheStopEndsEveryPause) {
  std::atomic<int> stop{0};
  IntakeWakeup wakeup(stop);
  const timespec hour = {3600, 0};
  auto timed = std::async(std::launch::async, [&] { wakeup.pause(IntakeWakeup::kAny, &hour); });
  auto untimed = std::async(std::launch::async, [&] { wakeup.pause(IntakeWakeup::kRoom, nullptr); });
  stop.store(1);
  wakeup.wakeForStop();
  EXPECT_EQ(timed.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "timed";
  EXPECT_EQ(untimed.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "untimed";
}

}  // namespace

}  // namespace kivo
