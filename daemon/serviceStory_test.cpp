// One service, one story, on the real daemon: its traps run one at a time
// in arrival order, each alert names the record its own run opened, the
// previous state is the service's own across a restart, and repeats fold.
#include <signal.h>

#include <gtest/gtest.h>

#include "testing/daemonHarness.h"

namespace kivo {

namespace {

const char* const kTrapOid = ".1.3.6.1.4.1.99.0.1";

class ServiceStoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.addDevice(1, "127.0.0.1");
    // The first variable is the plug-in's exit code, the second its text.
    harness.addService(1, 1, kTrapOid, DaemonHarness::testdata("exclusive_record.sh"),
                       records + " $1 $2");
    harness.addAlerting(1, DaemonHarness::testdata("append_arguments.sh"),
                        alerts + " --error $ERROR", true, true, true);
  }

  void spoolStates(const std::vector<std::pair<int, std::string>>& traps) {
    for (const auto& trap : traps) {
      char name[32];
      snprintf(name, sizeof name, "trap-%04d", next++);
      harness.spool(name, DaemonHarness::trapText("127.0.0.1", kTrapOid,
                                                  {{".1.2", std::to_string(trap.first)},
                                                   {".1.3", trap.second}}));
    }
  }

  size_t lines(const std::string& path) const { return splitLines(readFile(path)).size(); }

  std::vector<std::string> recordIds() {
    std::vector<std::string> ids;
    for (const auto& row : harness.database.rows("SELECT happen_id FROM kivo_error_happen "
                                                 "ORDER BY happen_id")) {
      ids.push_back("--error " + row[0]);
    }
    return ids;
  }
  std::string serviceState() {
    return harness.database.value("SELECT service_previous_state FROM kivo_services");
  }
  std::string openRecords() {
    return harness.database.value("SELECT count(*) FROM kivo_error_happen WHERE happen_acquitte = 0");
  }

  DaemonHarness harness;
  std::string records = harness.dir.file("records");
  std::string alerts = harness.dir.file("alerts");
  int next = 0;
};

class ServiceStoryThreadTest : public ServiceStoryTest {};

TEST_F(ServiceStoryThreadTest, FourWorkersRunOneServicesTrapsOneAtATimeInOrder) {
  std::vector<std::pair<int, std::string>> traps;
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) {
    int code = i % 2 == 0 ? 2 : 0;
    traps.push_back({code, "t" + std::to_string(i)});
    expected.push_back(std::to_string(code) + " t" + std::to_string(i));
  }
  spoolStates(traps);
  harness.start(4);
  ASSERT_TRUE(waitFor([&] { return lines(records) >= 20 && lines(alerts) >= 10; }))
      << readFile(harness.config.systemLog);
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(splitLines(readFile(records)), expected) << "in order, never two at once";
  EXPECT_EQ(splitLines(readFile(alerts)), recordIds()) << "each alert names its own record";
  EXPECT_EQ(recordIds().size(), 10u);
  EXPECT_EQ(openRecords(), "0") << "every OK acknowledged the record before it";
  EXPECT_EQ(serviceState(), "0") << "the last trap's state";
}

TEST_F(ServiceStoryTest, TheStateIsTheServicesOwnAcrossARestart) {
  spoolStates({{2, "down"}, {0, "up"}, {2, "down"}, {2, "still down"}});
  harness.start(2);
  ASSERT_TRUE(waitFor([&] { return lines(records) >= 4; }));
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(recordIds().size(), 2u) << "the repeat opens nothing";
  EXPECT_EQ(splitLines(readFile(alerts)), recordIds());
  EXPECT_EQ(openRecords(), "1");

  spoolStates({{0, "up again"}});
  harness.start(2);
  ASSERT_TRUE(waitFor([&] { return lines(records) >= 5; }));
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(openRecords(), "0") << "the stored state made the OK acknowledge";
}

TEST_F(ServiceStoryTest, IdenticalTrapsFoldIntoOneRun) {
  harness.config.entries["KIVO"]["fold_window"] = "2";
  std::vector<std::pair<int, std::string>> traps(200, {2, "flap"});
  spoolStates(traps);
  harness.start(2);
  ASSERT_TRUE(harness.waitForLog("INFO#service service 1 (1): 199 repeated traps folded in 2 s"))
      << readFile(harness.config.systemLog);
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(lines(records), 1u);
  EXPECT_EQ(lines(alerts), 1u);
  EXPECT_EQ(lines(harness.config.trapLog), 200u) << "every trap is in the trap log";
  EXPECT_TRUE(harness.spoolFiles().empty());
}

TEST_F(ServiceStoryTest, FlappingEndsWithTheLastTrapsState) {
  harness.config.entries["KIVO"]["fold_window"] = "2";
  spoolStates({{2, "A"}, {0, "B"}, {2, "A"}, {0, "B"}, {2, "A"}});
  harness.start(2);
  ASSERT_TRUE(harness.waitForLog("INFO#service service 1 (1): 2 repeated traps folded in 2 s"));
  ASSERT_TRUE(waitFor([&] { return lines(alerts) >= 2; }));
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(splitLines(readFile(records)), (std::vector<std::string>{"2 A", "0 B", "2 A"}));
  EXPECT_EQ(serviceState(), "2");
  EXPECT_EQ(splitLines(readFile(alerts)), recordIds()) << "each critical run its own alert";
}

TEST_F(ServiceStoryTest, AHeldTrapSurvivesAKill) {
  harness.config.entries["KIVO"]["fold_window"] = "3600";
  spoolStates({{2, "A"}, {0, "B"}, {2, "A"}});
  harness.start(1);
  ASSERT_TRUE(waitFor([&] {
    return lines(records) == 2 && lines(harness.config.trapLog) == 3 &&
           harness.spoolFiles().size() == 1;
  })) << "the last A is held, its file in the spool";
  harness.daemon->signal(SIGKILL);
  ASSERT_TRUE(harness.daemon->waitExit());
  harness.start(1);
  ASSERT_TRUE(waitFor([&] { return lines(records) >= 3; }));
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(splitLines(readFile(records)).back(), "2 A");
  EXPECT_EQ(serviceState(), "2");
  EXPECT_TRUE(harness.spoolFiles().empty());
}

}  // namespace

}  // namespace kivo
