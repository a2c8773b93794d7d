// The fold windows' decisions, with the clock given by the test.
#include "daemon/worker/foldWindows.h"

#include <gtest/gtest.h>

namespace kivo {

using std::chrono::seconds;
using Clock = FoldWindows::Clock;

static snmpTrap trap(const std::string& value, const std::string& stamp = "1") {
  snmpTrap t;
  t.readText("host\nUDP: [192.0.2.7]:161\n.1.3.6.1.2.1.1.3.0 " + stamp +
             "\n.1.3.6.1.6.3.1.1.4.1.0 .1.2.3\n.1.9 " + value + "\n.1.8 " + stamp + "\n");
  return t;
}

static void ignore(const snmpTrap&) {}

// The decisions for values arriving a second apart: "run", "fold" or
// "hold", with "+drop" when a held trap was dropped.
static std::vector<std::string> decide(FoldWindows& windows, const std::vector<std::string>& values,
                                       Clock::time_point t0) {
  static const char* const kNames[] = {"run", "fold", "hold"};
  std::vector<std::string> decisions;
  for (size_t i = 0; i < values.size(); ++i) {
    FoldWindows::Verdict v = windows.arrive(7, "link", trap(values[i]), t0 + seconds(i));
    decisions.push_back(std::string(kNames[v.decision]) + (v.dropped ? "+drop" : ""));
  }
  return decisions;
}

TEST(FoldWindows, RepeatsInTheWindowAreFoldedOrHeldSoTheStateEndsWithTheLastTrap) {
  struct Case {
    std::vector<std::string> values, decisions;
    size_t held;
  } cases[] = {
      {{"A", "A", "A"}, {"run", "fold", "fold"}, 0},
      {{"A", "B", "A", "B", "A"}, {"run", "run", "hold", "fold+drop", "hold"}, 1},
      {{"A", "B", "A", "C"}, {"run", "run", "hold", "run+drop"}, 0},
      {{"A", "B", "A", "A"}, {"run", "run", "hold", "hold+drop"}, 1},
  };
  for (const Case& c : cases) {
    FoldWindows windows({60, {}}, ignore);
    EXPECT_EQ(decide(windows, c.values, Clock::now()), c.decisions) << c.values.size();
    EXPECT_EQ(windows.held(), c.held);
  }
  FoldWindows off({0, {}}, ignore);
  EXPECT_EQ(decide(off, {"A", "A"}, Clock::now()), (std::vector<std::string>{"run", "run"}));
  FoldWindows ignoring({60, {".1.8"}}, ignore);
  EXPECT_EQ(ignoring.signature(trap("A", "1")), ignoring.signature(trap("A", "2")))
      << "the uptime and an ignored OID's value do not count";
  EXPECT_NE(ignoring.signature(trap("A")), ignoring.signature(trap("B")));
}

TEST(FoldWindows, TheCloseRunsTheHeldTrapOpensTheNextWindowAndTellsTheFolds) {
  FoldWindows windows({60, {}}, ignore);
  const Clock::time_point t0 = Clock::now();
  decide(windows, {"A", "B", "A", "B", "A"}, t0);
  EXPECT_FALSE(windows.close(7, t0 + seconds(59)).runFirst) << "not due yet";
  FoldWindows::Verdict closed = windows.close(7, t0 + seconds(60));
  ASSERT_TRUE(closed.runFirst);
  EXPECT_EQ(closed.runFirst->getValue(0), "A");
  EXPECT_EQ(windows.arrive(7, "link", trap("A"), t0 + seconds(61)).decision, FoldWindows::kFold)
      << "the held trap opened the next window";
  decide(windows, {"B", "A"}, t0 + seconds(62));
  FoldWindows::Verdict late = windows.arrive(7, "link", trap("A"), t0 + seconds(200));
  ASSERT_TRUE(late.runFirst) << "after the window's end its held A runs first";
  EXPECT_EQ(late.decision, FoldWindows::kFold) << "then this A repeats it";
}

}  // namespace kivo
