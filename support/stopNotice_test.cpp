#include "support/stopNotice.h"

#include <poll.h>

#include <gtest/gtest.h>

namespace kivo {

static bool readable(const StopNotice& notice) {
  pollfd watched = {notice.fd(), POLLIN, 0};
  return ::poll(&watched, 1, 0) == 1 && (watched.revents & POLLIN) != 0;
}

TEST(StopNotice, BeginRecordsTheFirstDeadlineAndStaysReadableUntilReset) {
  StopNotice notice;
  EXPECT_FALSE(notice.begun() || readable(notice)) << "before the stop";
  auto before = StopNotice::Clock::now();
  notice.begin(std::chrono::seconds(10));
  auto first = notice.deadline();
  EXPECT_TRUE(first >= before + std::chrono::seconds(10) &&
              first <= StopNotice::Clock::now() + std::chrono::seconds(10));
  notice.begin(std::chrono::seconds(1000));
  EXPECT_EQ(notice.deadline(), first) << "a second stop moves nothing";
  EXPECT_TRUE(notice.begun() && readable(notice) && readable(notice)) << "every wait sees it";
  notice.reset();
  EXPECT_FALSE(notice.begun() || readable(notice)) << "after reset";
}

}  // namespace kivo
