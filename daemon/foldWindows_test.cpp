// The fold decisions for a service's traps, and the closes of its windows,
// with the clock given by the test.
#include "daemon/foldWindows.h"

#include <gtest/gtest.h>

#include <future>

namespace kivo {

namespace {

using std::chrono::seconds;
using Clock = kivo::FoldWindows::Clock;

snmpTrap trap(const std::string& value, const std::string& stamp = "1") {
  snmpTrap t;
  t.readText("host\nUDP: [192.0.2.7]:161\n.1.3.6.1.2.1.1.3.0 " + stamp +
             "\n.1.3.6.1.6.3.1.1.4.1.0 .1.2.3\n.1.9 " + value + "\n.1.8 " + stamp + "\n");
  return t;
}

kivo::FoldWindows::Settings window(int length, std::set<std::string> ignored = {}) {
  kivo::FoldWindows::Settings settings;
  settings.windowSeconds = length;
  settings.ignoredOids = std::move(ignored);
  return settings;
}

const char* decisionName(kivo::FoldWindows::Decision d) {
  return d == kivo::FoldWindows::kRun ? "run" : d == kivo::FoldWindows::kFold ? "fold" : "hold";
}

// The decisions for values arriving a second apart, each "run", "fold" or
// "hold", with "+drop" when a held trap was dropped.
std::vector<std::string> decide(kivo::FoldWindows& windows, const std::vector<std::string>& values,
                                Clock::time_point t0) {
  std::vector<std::string> decisions;
  for (size_t i = 0; i < values.size(); ++i) {
    kivo::FoldWindows::Verdict v = windows.arrive(7, "link", trap(values[i]), t0 + seconds(i));
    decisions.push_back(std::string(decisionName(v.decision)) + (v.dropped ? "+drop" : ""));
  }
  return decisions;
}

TEST(FoldWindows, RepeatsInTheWindowAreFoldedOrHeldSoTheStateEndsWithTheLastTrap) {
  struct Case {
    std::vector<std::string> values;
    std::vector<std::string> decisions;
    size_t held;
  } cases[] = {
      {{"A", "A", "A"}, {"run", "fold", "fold"}, 0},
      {{"A", "B", "A", "B", "A"}, {"run", "run", "hold", "fold+drop", "hold"}, 1},
      {{"A", "B", "A", "C"}, {"run", "run", "hold", "run+drop"}, 0},
      {{"A", "B", "A", "A"}, {"run", "run", "hold", "hold+drop"}, 1},
  };
  for (const Case& c : cases) {
    kivo::FoldWindows windows(window(60), [](const snmpTrap&) {});
    EXPECT_EQ(decide(windows, c.values, Clock::now()), c.decisions) << c.values.size();
    EXPECT_EQ(windows.held(), c.held);
  }
}

TEST(FoldWindows, TheCloseRunsTheHeldTrapOpensTheNextWindowAndTellsTheFolds) {
  kivo::FoldWindows windows(window(60), [](const snmpTrap&) {});
  const Clock::time_point t0 = Clock::now();
  decide(windows, {"A", "B", "A", "B", "A"}, t0);
  EXPECT_FALSE(windows.close(7, t0 + seconds(59)).runFirst) << "not due yet";
  kivo::FoldWindows::Verdict closed = windows.close(7, t0 + seconds(60));
  ASSERT_TRUE(closed.runFirst);
  EXPECT_EQ(closed.runFirst->getValue(0), "A");
  EXPECT_EQ(closed.closedLine, "service link (7): 2 repeated traps folded in 60 s");
  // The held trap opened the next window: another A is a repeat of it.
  EXPECT_EQ(windows.arrive(7, "link", trap("A"), t0 + seconds(61)).decision, kivo::FoldWindows::kFold);
  // A trap after the window's end runs, after the held one of that window.
  windows.arrive(7, "link", trap("B"), t0 + seconds(62));
  windows.arrive(7, "link", trap("A"), t0 + seconds(63));
  kivo::FoldWindows::Verdict late = windows.arrive(7, "link", trap("A"), t0 + seconds(200));
  ASSERT_TRUE(late.runFirst) << "the held A runs first";
  EXPECT_EQ(late.decision, kivo::FoldWindows::kFold) << "then this A repeats it";
}

TEST(FoldWindows, UptimeDateAndIgnoredValuesDoNotCountNothingFoldsWithoutAWindow) {
  kivo::FoldWindows ignoring(window(60, {".1.8"}), [](const snmpTrap&) {});
  EXPECT_EQ(ignoring.signature(trap("A", "1")), ignoring.signature(trap("A", "2")))
      << "the uptime and an ignored OID's value";
  EXPECT_NE(ignoring.signature(trap("A")), ignoring.signature(trap("B")));
  kivo::FoldWindows off(window(0), [](const snmpTrap&) {});
  EXPECT_FALSE(off.enabled());
  EXPECT_EQ(decide(off, {"A", "A", "A"}, Clock::now()),
            (std::vector<std::string>{"run", "run", "run"}));
}

TEST(FoldWindows, AWindowWithSomethingToDoSendsItsCloseInTheServicesOrder) {
  std::promise<snmpTrap> ticked;
  kivo::FoldWindows windows(window(3600), [&](const snmpTrap& close) { ticked.set_value(close); });
  decide(windows, {"A", "A"}, Clock::now());
  windows.closeNow({7});
  std::future<snmpTrap> close = ticked.get_future();
  ASSERT_EQ(close.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  snmpTrap marker = close.get();
  EXPECT_TRUE(marker.windowClose());
  EXPECT_EQ(marker.windowServiceId(), 7);
  EXPECT_EQ(marker.getHostAddr(), "192.0.2.7") << "the service's key, for the gate";
  EXPECT_EQ(marker.getOid(), ".1.2.3");
}

}  // namespace

}  // namespace kivo
