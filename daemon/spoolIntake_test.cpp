// The intake against a real spool directory, without workers, server or
// child processes: the bound on traps in hand, name order across passes,
// and the removal of a file once its trap is done.
#include "daemon/spoolIntake.h"

#include <gtest/gtest.h>

#include <future>

#include "daemon/intakeWakeup.h"
#include "testing/capturedOutput.h"
#include "testing/tempDir.h"

namespace {

std::string trapText(const std::string& host) {
  return host + "\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
                ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n";
}

class SpoolIntakeTest : public ::testing::Test {
 protected:
  SpoolIntakeTest() {
    for (int i = 0; i < 8; ++i) {
      const std::string name = "trap-" + std::to_string(i);
      writeFile(spool + name, trapText(name));
    }
  }
  ~SpoolIntakeTest() override {
    while (!queue.empty()) queue.pop();
  }

  std::vector<std::string> takeQueued() {
    std::vector<std::string> hosts;
    while (!queue.empty()) {
      snmpTrap trap = queue.pop();
      hosts.push_back(trap.getHost());
      taken.push_back(trap);
    }
    return hosts;
  }

  CapturedOutput output;
  TempDir dir;
  std::string spool = dir.path() + "/";
  std::atomic<int> stop{0};
  IntakeWakeup wakeup{stop};
  SpoolLedger ledger{wakeup, 3};
  SpoolLock lock;
  ExecuteQueue<snmpTrap> queue;
  SpoolIntake intake{spool, 4096, queue, ledger, lock};
  std::vector<snmpTrap> taken;
};

TEST_F(SpoolIntakeTest, HoldsAtMostTheLimitAndTakesTheRestInNameOrder) {
  EXPECT_EQ(intake.runPass(), SpoolIntake::kFull);
  EXPECT_EQ(takeQueued(), (std::vector<std::string>{"trap-0", "trap-1", "trap-2"}));
  EXPECT_EQ(intake.runPass(), SpoolIntake::kFull) << "files in hand are not taken again";
  EXPECT_TRUE(takeQueued().empty());

  // Two traps done: half the room is free, and the intake is woken.
  auto woken = std::async(std::launch::async, [&] { wakeup.pause(IntakeWakeup::kRoom, nullptr); });
  ledger.finish(taken[0].origin(), true);
  ledger.finish(taken[1].origin(), true);
  ASSERT_EQ(woken.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "room wakes the intake";
  EXPECT_FALSE(fileExists(spool + "trap-0")) << "a done trap's file goes";
  EXPECT_TRUE(fileExists(spool + "trap-2")) << "a trap in hand keeps its file";

  EXPECT_EQ(intake.runPass(), SpoolIntake::kFull);
  EXPECT_EQ(takeQueued(), (std::vector<std::string>{"trap-3", "trap-4"}));
}

TEST_F(SpoolIntakeTest, TrapCutShortKeepsItsFileAndIsTakenAgainLater) {
  ledger.setLimit(100);
  EXPECT_EQ(intake.runPass(), SpoolIntake::kDone);
  ASSERT_EQ(takeQueued().size(), 8u);
  ledger.finish(taken[0].origin(), false);
  EXPECT_TRUE(fileExists(spool + "trap-0"));
  EXPECT_EQ(intake.runPass(), SpoolIntake::kDone);
  EXPECT_EQ(takeQueued(), std::vector<std::string>{"trap-0"});
}

TEST_F(SpoolIntakeTest, ReplacedFileIsNotRemovedForTheTrapBeforeIt) {
  ledger.setLimit(100);
  intake.runPass();
  takeQueued();
  // A new file under the name of a trap in hand: the old trap's end leaves it.
  writeFile(dir.file("newer"), trapText("newer"));
  ASSERT_EQ(::rename(dir.file("newer").c_str(), (spool + "trap-5").c_str()), 0);
  ledger.finish(taken[5].origin(), true);
  EXPECT_EQ(readFile(spool + "trap-5"), trapText("newer"));
  intake.runPass();
  EXPECT_EQ(takeQueued(), std::vector<std::string>{"newer"});
}

TEST_F(SpoolIntakeTest, TrapsWithoutSpoolFileNeedNoFinish) {
  snmpTrap fromNowhere;
  ledger.finish(fromNowhere.origin(), true);
  EXPECT_EQ(ledger.admitted(), 0u);
  EXPECT_EQ(listDirectory(dir.path()).size(), 8u);
}

}  // namespace
