#include "daemon/database/serviceReload.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "testing/tempDir.h"

namespace kivo {

namespace {

// A reload that counts its runs and waits at the gate until the test opens it.
class CountedReload {
 public:
  void operator()() {
    ++started;
    gate.wait();
    ++ended;
  }
  bool waitStarted(int n) const {
    return waitFor([&] { return started.load() >= n; }, std::chrono::seconds(10));
  }

  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  std::atomic<int> started{0}, ended{0};
};

TEST(ServiceReloadThreadTest, RequestsBeforeTheStartMakeOneReloadAndThoseDuringItOneMore) {
  CountedReload counted;
  ServiceReload reload([&] { counted(); });
  reload.request();
  reload.request();
  reload.start();
  ASSERT_TRUE(counted.waitStarted(1));
  for (int i = 0; i < 3; ++i) reload.request();
  counted.open.set_value();
  ASSERT_TRUE(counted.waitStarted(2));
  ASSERT_TRUE(waitFor([&] { return counted.ended.load() == 2; }));
  reload.request();  // wakes the thread waiting idle
  ASSERT_TRUE(counted.waitStarted(3));
  reload.finish();
  EXPECT_EQ(counted.started.load() + counted.ended.load(), 6);
}

TEST(ServiceReloadThreadTest, FinishWaitsForTheReloadUnderWayAndNothingRunsAfter) {
  CountedReload counted;
  ServiceReload reload([&] { counted(); });
  reload.start();
  reload.request();
  ASSERT_TRUE(counted.waitStarted(1));
  auto finished = std::async(std::launch::async, [&] {
    reload.finish();
    return counted.ended.load();
  });
  counted.open.set_value();
  EXPECT_EQ(finished.get(), 1) << "the reload begun has ended";
  reload.request();
  reload.start();
  reload.finish();
  EXPECT_EQ(counted.started.load(), 1);
}

}  // namespace

}  // namespace kivo
