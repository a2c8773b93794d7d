// The intake against a real spool directory, without workers, server or
// child processes: the bound on traps in hand, name order across passes,
// the removal of a file once its trap is done, entries left alone, and
// files still being written.
#include "daemon/spoolIntake.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <future>

#include "daemon/intakeWakeup.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"
#include "testing/tempDir.h"

namespace kivo {

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
      gate.done(kivo::ServiceGate::keyOf(trap));
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
  kivo::ServiceGate gate{queue};
  SpoolIntake intake{spool, SpoolIntake::Settings{4096, 10}, gate, ledger, lock};
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

// Sets the file's modification time seconds into the past.
void age(const std::string& path, int seconds) {
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

int countLines(const std::string& text, const std::string& part) {
  int count = 0;
  for (const std::string& line : logMessages(text)) count += line.find(part) != std::string::npos;
  return count;
}

TEST_F(SpoolIntakeTest, EntriesLeftAloneAreReportedOnceUntilTheyChange) {
  ledger.setLimit(100);
  // A name that would forge a line of the log if it were written as it is.
  const std::string forged = "x\nMon Dec  7 12:00:00 2026#ERR#FORGED LINE";
  ASSERT_EQ(::mkfifo((spool + forged).c_str(), 0600), 0);
  writeFile(spool + "zz-big", trapText("big") + std::string(5000, 'x') + "\n");
  age(spool + "zz-big", 100);  // so that the rewrite below surely changes it
  for (int pass = 0; pass < 3; ++pass) {
    intake.runPass();
    intake.runPass({forged, "zz-big"});
  }
  EXPECT_EQ(takeQueued().size(), 8u) << "the trap files, each once";
  EXPECT_EQ(ledger.skipped(), 2u);
  std::string log = output.text();
  EXPECT_EQ(countLines(log, "ERR#kivo skips spool entry " + spool +
                                "x\\nMon Dec  7 12:00:00 2026#ERR#FORGED LINE: is a FIFO"),
            1) << log;
  EXPECT_EQ(countLines(log, "is larger than spool_file_max (4096 bytes)"), 1) << log;
  EXPECT_EQ(countLines(log, "FORGED"), 1) << "no line of its own";

  // Cut to size: a changed file is judged afresh and taken.
  writeFile(spool + "zz-big", trapText("big"));
  intake.runPass({"zz-big"});
  EXPECT_EQ(takeQueued(), std::vector<std::string>{"big"});
  // Another entry under the FIFO's name is another entry.
  ASSERT_EQ(::unlink((spool + forged).c_str()), 0);
  writeFile(spool + forged, trapText("was a fifo"));
  intake.runPass();
  EXPECT_EQ(takeQueued(), std::vector<std::string>{"was a fifo"});
  EXPECT_EQ(ledger.skipped(), 0u);
}

TEST_F(SpoolIntakeTest, AFileStillBeingWrittenWaitsUntilItHasSettled) {
  ledger.setLimit(100);
  intake.runPass();
  takeQueued();
  writeFile(spool + "trap-8", "");
  writeFile(spool + "trap-9", "host\nUDP: [192.0.2.7]:161\n.1.3.6.1.4.1.99.1 half");
  intake.runPass({"trap-8", "trap-9"});
  EXPECT_TRUE(takeQueued().empty()) << "neither is complete";
  EXPECT_GE(intake.nextSettleDue(), ::time(nullptr) + 9);

  // Completed: taken at the next pass that looks at it.
  writeFile(spool + "trap-9", trapText("trap-9"));
  intake.runPass({});
  EXPECT_EQ(takeQueued(), std::vector<std::string>{"trap-9"});

  // Unchanged for the settle time: taken as it is.
  age(spool + "trap-8", 11);
  intake.runPass({});
  EXPECT_EQ(takeQueued(), std::vector<std::string>{""});
  EXPECT_EQ(intake.nextSettleDue(), 0);
}

TEST_F(SpoolIntakeTest, APassOverNamesLooksAtNothingElse) {
  ledger.setLimit(100);
  EXPECT_EQ(intake.runPass({"trap-3", "trap-1", "missing"}), SpoolIntake::kDone);
  EXPECT_EQ(takeQueued(), (std::vector<std::string>{"trap-1", "trap-3"}));
  EXPECT_EQ(intake.runPass(), SpoolIntake::kDone);
  EXPECT_EQ(takeQueued().size(), 6u);
}

}  // namespace

}  // namespace kivo
