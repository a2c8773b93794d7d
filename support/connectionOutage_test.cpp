#include "support/connectionOutage.h"

#include <gtest/gtest.h>

#include <future>

namespace kivo {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = ConnectionOutage::Clock;

const char* const kRefused = "failed: No such file\n\tIs the server running?\n";

TEST(ConnectionOutage, AttemptsBackOffToTheLongestDelay) {
  const std::pair<ConnectionOutage::Policy, std::vector<int>> cases[] = {
      // delays in ms
      {{seconds(1), seconds(30), seconds(3600)}, {1000, 2000, 4000, 8000, 16000, 30000, 30000}},
      {{milliseconds(10), milliseconds(40), milliseconds(100)}, {10, 20, 40, 40}},
  };
  for (const auto& [policy, delays] : cases) {
    ConnectionOutage outage;
    outage.setPolicy(policy);
    Clock::time_point now = Clock::now();
    EXPECT_FALSE(outage.attemptDue(now)) << "not down yet";
    EXPECT_EQ(outage.lost("server closed the connection\n", now),
              "connection to the database lost: server closed the connection");
    EXPECT_FALSE(outage.lost("again\n", now)) << "one line per outage";
    EXPECT_TRUE(outage.attemptDue(now)) << "the first attempt is due at once";
    for (int delay : delays) {
      outage.attemptFailed(kRefused, now);
      EXPECT_EQ(outage.nextAttempt() - now, Clock::duration(milliseconds(delay))) << delay;
      EXPECT_FALSE(outage.attemptDue(now + milliseconds(delay - 1))) << delay;
      EXPECT_TRUE(outage.attemptDue(now + milliseconds(delay))) << delay;
      now += milliseconds(delay);
    }
  }
}

TEST(ConnectionOutage, TheCauseAtOnceAndTheNextOutageBeginsAfresh) {
  ConnectionOutage outage;
  const Clock::time_point t0 = Clock::now();
  outage.lost("gone", t0);
  EXPECT_EQ(outage.attemptFailed(kRefused, t0 + seconds(1)),
            "database still unreachable after 1 s: failed: No such file Is the server running?");
  EXPECT_EQ(outage.restored(t0 + seconds(75)).value_or(""),
            "connection to the database back after 75 s");
  outage.lost("gone", t0 + seconds(100));
  outage.attemptFailed("no", t0 + seconds(100));
  EXPECT_EQ(outage.nextAttempt(), t0 + seconds(101));
  EXPECT_EQ(errorTextOnOneLine("a\n\nb \n"), "a  b");
}

TEST(ConnectionOutageThreadTest, WaitersLeaveWhenBackOrInterrupted) {
  ConnectionOutage outage;
  EXPECT_TRUE(outage.waitUntilUp()) << "returns at once while up";
  outage.setPolicy({seconds(60), seconds(60), seconds(60)});
  for (bool stop : {false, true}) {
    outage.lost("gone");
    outage.attemptFailed("no");  // next attempt in a minute
    auto gate = std::async(std::launch::async, [&] { return outage.waitUntilUp(); });
    auto statement = std::async(std::launch::async, [&] { return outage.waitForAttempt(); });
    stop ? outage.interrupt() : (void)outage.restored();
    for (std::future<bool>* woken : {&gate, &statement})
      EXPECT_EQ(woken->wait_for(seconds(10)), std::future_status::ready) << "stop " << stop;
    EXPECT_EQ(gate.get() + statement.get(), stop ? 0 : 2) << "woken long before the next attempt";
  }
  EXPECT_FALSE(outage.waitForAttempt()) << "after the stop no wait begins";
  EXPECT_FALSE(outage.sleepFor(seconds(60)));
  outage.restored();
  EXPECT_TRUE(outage.waitUntilUp()) << "a working connection is never refused";
}

}  // namespace kivo
