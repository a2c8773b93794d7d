// The reload thread: when it runs the reload it is asked for, and when not;
// and which services a reload changed.
#include "daemon/serviceReload.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "daemon/servicesReloaded.h"

namespace kivo {

namespace {

// A reload that counts its runs and, while held, waits until released.
class CountedReload {
 public:
  void operator()() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++started_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !held_; });
    ++ended_;
  }
  void hold(bool held) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = held;
    }
    changed_.notify_all();
  }
  bool waitStarted(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return started_ >= n; });
  }
  std::pair<int, int> runs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {started_, ended_};
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  int started_ = 0, ended_ = 0;
};

TEST(ServiceReloadThreadTest, RequestsBeforeTheStartAreServedOnce) {
  CountedReload counted;
  ServiceReload reload([&] { counted(); });
  reload.request();
  reload.request();
  reload.start();
  ASSERT_TRUE(counted.waitStarted(1));
  reload.finish();
  EXPECT_EQ(counted.runs(), std::make_pair(1, 1));
}

TEST(ServiceReloadThreadTest, RequestsDuringAReloadMakeOneMoreAndFinishWaitsForIt) {
  CountedReload counted;
  ServiceReload reload([&] { counted(); });
  reload.start();
  counted.hold(true);
  reload.request();
  ASSERT_TRUE(counted.waitStarted(1));
  for (int i = 0; i < 3; ++i) reload.request();
  counted.hold(false);
  ASSERT_TRUE(counted.waitStarted(2));
  auto finished = std::async(std::launch::async, [&] {
    reload.finish();
    return counted.runs();
  });
  EXPECT_EQ(finished.get(), std::make_pair(2, 2)) << "every reload begun has ended";
  reload.request();
  reload.start();
  reload.finish();
  EXPECT_EQ(counted.runs(), std::make_pair(2, 2)) << "nothing runs after the finish";
}

service make(int id, const std::string& parameter) {
  service s;
  s.SetService_id(id);
  s.Setname("s" + std::to_string(id));
  s.Setpath("/p");
  s.Setparameter(parameter);
  s.SetOID(".1.2");
  return s;
}

TEST(ServicesReloaded, ServicesThatChangedOrWentAreNamed) {
  MapTrapService::Services before = {{"192.0.2.7", {make(1, "$1"), make(2, "$1"), make(3, "$1")}},
                                     {"192.0.2.8", {make(4, "$1")}}};
  MapTrapService::Services after = {{"192.0.2.7", {make(1, "$1"), make(2, "-v $1")}},
                                    {"192.0.2.9", {make(4, "$1")}}};
  // 1 is as it was; 2 has another template, 3 went, 4 moved to another address.
  EXPECT_EQ(changedServices(before, after), (std::vector<int>{2, 3, 4}));
  EXPECT_TRUE(changedServices(before, before).empty());
}

}  // namespace

}  // namespace kivo
