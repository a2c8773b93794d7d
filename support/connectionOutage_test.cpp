// The outage's schedule, lines and waits, on a clock the test sets; no
// server involved.
#include "support/connectionOutage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "testing/tempDir.h"

namespace kivo {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = ConnectionOutage::Clock;

const char* const kRefused =
    "connection to server on socket \"/s/.s.PGSQL.5\" failed: No such file or directory\n"
    "\tIs the server running locally and accepting connections on that socket?\n";
const char* const kRefusedLine =
    "connection to server on socket \"/s/.s.PGSQL.5\" failed: No such file or directory "
    "Is the server running locally and accepting connections on that socket?";

TEST(ConnectionOutage, AttemptsBackOffFromOneSecondToThirty) {
  ConnectionOutage outage;
  // The default delays; no reminder lines in the way.
  outage.setPolicy({seconds(1), seconds(30), seconds(3600)});
  const Clock::time_point t0 = Clock::now();
  EXPECT_FALSE(outage.attemptDue(t0)) << "not down yet";
  EXPECT_EQ(outage.lost("server closed the connection unexpectedly\n", t0),
            "connection to the database lost: server closed the connection unexpectedly");
  EXPECT_EQ(outage.lost("again\n", t0), "") << "one line per outage";
  EXPECT_TRUE(outage.attemptDue(t0)) << "the first attempt is due at once";
  // Each failed attempt puts the next one a growing delay later.
  const int expected[] = {1, 2, 4, 8, 16, 30, 30};
  Clock::time_point now = t0;
  for (int delay : expected) {
    outage.attemptFailed(kRefused, now);
    EXPECT_EQ(outage.nextAttempt() - now, Clock::duration(seconds(delay))) << delay;
    EXPECT_FALSE(outage.attemptDue(now + seconds(delay) - milliseconds(1))) << delay;
    EXPECT_TRUE(outage.attemptDue(now + seconds(delay))) << delay;
    now += seconds(delay);
  }
}

TEST(ConnectionOutage, AtMostOneLineEveryThirtySecondsInBetween) {
  ConnectionOutage outage;
  const Clock::time_point t0 = Clock::now();
  outage.lost("gone", t0);
  struct Step {
    int at;  // seconds after the loss
    std::string line;
  } steps[] = {
      // The first failed attempt tells the cause at once.
      {1, std::string("database still unreachable after 1 s: ") + kRefusedLine},
      {29, ""},
      {31, std::string("database still unreachable after 31 s: ") + kRefusedLine},
      {45, ""},
      {61, std::string("database still unreachable after 61 s: ") + kRefusedLine},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(outage.attemptFailed(kRefused, t0 + seconds(step.at)), step.line) << step.at;
  }
  EXPECT_EQ(outage.restored(t0 + seconds(75) + milliseconds(900)),
            "connection to the database back after 75 s");
  EXPECT_EQ(outage.restored(t0 + seconds(80)), "") << "already back";
  EXPECT_FALSE(outage.down());
  // The next outage starts from the first delay again.
  outage.lost("gone", t0 + seconds(100));
  outage.attemptFailed("no", t0 + seconds(100));
  EXPECT_EQ(outage.nextAttempt(), t0 + seconds(101));
}

TEST(ConnectionOutage, SmallerPolicyForTests) {
  ConnectionOutage outage;
  outage.setPolicy({milliseconds(10), milliseconds(40), milliseconds(100)});
  const Clock::time_point t0 = Clock::now();
  outage.lost("gone", t0);
  const int expected[] = {10, 20, 40, 40};
  Clock::time_point now = t0;
  for (int delay : expected) {
    outage.attemptFailed("no", now);
    EXPECT_EQ(outage.nextAttempt() - now, Clock::duration(milliseconds(delay))) << delay;
    now += milliseconds(delay);
  }
}

TEST(ConnectionOutage, ErrorTextOnOneLine) {
  EXPECT_EQ(errorTextOnOneLine(kRefused), kRefusedLine);
  EXPECT_EQ(errorTextOnOneLine(""), "");
  EXPECT_EQ(errorTextOnOneLine("a\n\nb \n"), "a  b");
}

// Waiters block while the connection is down and leave at the end of the
// outage or at the stop; threads, but no server and no child process.
TEST(ConnectionOutageThreadTest, WaitersLeaveWhenBackOrInterrupted) {
  ConnectionOutage outage;
  EXPECT_TRUE(outage.waitUntilUp()) << "returns at once while up";
  outage.setPolicy({seconds(60), seconds(60), seconds(60)});
  outage.lost("gone");
  outage.attemptFailed("no");  // next attempt in a minute
  std::atomic<int> up{-1};
  std::thread gate([&] { up = outage.waitUntilUp() ? 1 : 0; });
  std::atomic<int> attempt{-1};
  std::thread statement([&] { attempt = outage.waitForAttempt() ? 1 : 0; });
  outage.restored();
  EXPECT_TRUE(waitFor([&] { return up.load() == 1 && attempt.load() == 1; }, seconds(10)))
      << "both woken by the end of the outage, long before the next attempt";
  gate.join();
  statement.join();

  outage.lost("gone");
  outage.attemptFailed("no");
  std::thread gate2([&] { up = outage.waitUntilUp() ? 1 : 0; });
  std::thread statement2([&] { attempt = outage.waitForAttempt() ? 1 : 0; });
  outage.interrupt();
  EXPECT_TRUE(waitFor([&] { return up.load() == 0 && attempt.load() == 0; }, seconds(10)))
      << "both woken by the stop";
  gate2.join();
  statement2.join();
  EXPECT_FALSE(outage.waitForAttempt()) << "after the stop no wait begins";
  outage.restored();
  EXPECT_TRUE(outage.waitUntilUp()) << "a working connection is never refused";
}

}  // namespace

}  // namespace kivo
