// The reload thread: when it runs the reload it is asked for, and when not.
#include "daemon/serviceReload.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kivo {

namespace {

// A reload that counts its runs and, while held, waits until released.
class CountedReload {
 public:
  void operator()() {
    std::unique_lock<std::mutex> hold(mutex_);
    ++started_;
    changed_.notify_all();
    changed_.wait(hold, [this] { return !held_; });
    ++ended_;
  }
  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
    }
    changed_.notify_all();
  }
  bool waitStarted(int n) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::seconds(10), [&] { return started_ >= n; });
  }
  int started() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
  }
  int ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  int started_ = 0;
  int ended_ = 0;
};

TEST(ServiceReloadThreadTest, RequestsBeforeTheStartAreServedOnce) {
  CountedReload counted;
  kivo::ServiceReload reload([&] { counted(); });
  reload.request();
  reload.request();
  reload.start();
  ASSERT_TRUE(counted.waitStarted(1));
  reload.finish();
  EXPECT_EQ(counted.ended(), 1);
}

TEST(ServiceReloadThreadTest, RequestsDuringAReloadMakeOneMore) {
  CountedReload counted;
  kivo::ServiceReload reload([&] { counted(); });
  reload.start();
  counted.hold();
  reload.request();
  ASSERT_TRUE(counted.waitStarted(1));
  for (int i = 0; i < 3; ++i) reload.request();
  counted.release();
  ASSERT_TRUE(counted.waitStarted(2));
  reload.finish();
  EXPECT_EQ(counted.started(), 2);
  EXPECT_EQ(counted.ended(), 2);
}

TEST(ServiceReloadThreadTest, FinishWaitsForTheReloadUnderWayAndNothingRunsAfter) {
  CountedReload counted;
  kivo::ServiceReload reload([&] { counted(); });
  reload.start();
  counted.hold();
  reload.request();
  ASSERT_TRUE(counted.waitStarted(1));
  std::atomic<int> endedAtFinish{-1};
  std::thread finisher([&] {
    reload.finish();
    endedAtFinish = counted.ended();
  });
  counted.release();
  finisher.join();
  EXPECT_EQ(endedAtFinish.load(), counted.started()) << "every reload begun has ended";
  int before = counted.started();
  reload.request();
  reload.start();
  reload.finish();
  EXPECT_EQ(counted.started(), before);
}

}  // namespace

}  // namespace kivo
