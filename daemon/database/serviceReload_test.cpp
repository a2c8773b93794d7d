#include "daemon/database/serviceReload.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "testing/tempDir.h"

namespace kivo {

namespace {

// The thread's reload counts its runs and waits at the gate until the test opens it.
class ServiceReloadThreadTest : public ::testing::Test {
 protected:
  bool waitStarted(int n) const {
    return waitFor([&] { return started.load() >= n; }, std::chrono::seconds(10));
  }

  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  std::atomic<int> started{0}, ended{0};
  ServiceReload reload{[this] {
    ++started;
    gate.wait();
    ++ended;
  }};
};

TEST_F(ServiceReloadThreadTest, RequestsBeforeTheStartMakeOneReloadAndThoseDuringItOneMore) {
  reload.request();
  reload.request();
  reload.start();
  ASSERT_TRUE(waitStarted(1));
  for (int i = 0; i < 3; ++i) reload.request();
  open.set_value();
  ASSERT_TRUE(waitStarted(2));
  ASSERT_TRUE(waitFor([&] { return ended.load() == 2; }));
  reload.request();  // wakes the thread waiting idle
  ASSERT_TRUE(waitStarted(3));
  reload.finish();
  EXPECT_EQ(started.load() + ended.load(), 6);
}

TEST_F(ServiceReloadThreadTest, FinishWaitsForTheReloadUnderWayAndNothingRunsAfter) {
  reload.start();
  reload.request();
  ASSERT_TRUE(waitStarted(1));
  auto finished = std::async(std::launch::async, [&] {
    reload.finish();
    return ended.load();
  });
  open.set_value();
  EXPECT_EQ(finished.get(), 1) << "the reload begun has ended";
  reload.request();
  reload.start();
  reload.finish();
  EXPECT_EQ(started.load(), 1);
}

}  // namespace

}  // namespace kivo
