// The intake against a real spool directory, without workers, server or
// child processes: the bound on traps in hand, name order, the removal of a
// done trap's file, entries left alone, files still being written.
#include "daemon/intake/spoolIntake.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "check/metricsText.h"
#include "daemon/intake/intakeWakeup.h"
#include "support/metrics.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

namespace {

std::string trapText(const std::string& host) {
  return host + "\nUDP: [192.0.2.7]:161\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n";
}

// Sets the file's modification time seconds into the past, on a whole second.
void age(const std::string& path, int seconds) {
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class SpoolIntakeTest : public ::testing::Test {
 protected:
  SpoolIntakeTest() {
    for (int i = 0; i < 8; ++i) {
      writeFile(spool + "trap-" + std::to_string(i), trapText("trap-" + std::to_string(i)));
    }
  }

  // The hosts of the queued traps, which are then in the workers' hands.
  std::vector<std::string> takeQueued() {
    std::vector<std::string> hosts;
    while (!queue.empty()) {
      snmpTrap trap = queue.pop();
      hosts.push_back(trap.getHost());
      taken.push_back(trap);
      gate.done(ServiceGate::keyOf(trap));
    }
    return hosts;
  }
  int logged(const std::string& part) const {
    int count = 0;
    for (const std::string& line : logMessages(output.text())) {
      count += line.find(part) != std::string::npos;
    }
    return count;
  }

  CapturedOutput output;
  TempDir dir;
  std::string spool = dir.path() + "/";
  std::atomic<int> stop{0};
  IntakeWakeup wakeup{stop};
  Metrics metrics;
  SpoolLedger ledger{wakeup, metrics, 3};
  SpoolLock lock;
  ExecuteQueue<snmpTrap> queue;
  ServiceGate gate{queue};
  SpoolIntake intake{spool, SpoolIntake::Settings{4096, 10}, gate, ledger, lock, metrics};
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

TEST_F(SpoolIntakeTest, OnlyTheFileOfADoneTrapGoes) {
  ledger.setLimit(100);
  EXPECT_EQ(intake.runPass({"trap-3", "trap-1", "missing"}), SpoolIntake::kDone);
  EXPECT_EQ(takeQueued(), (std::vector<std::string>{"trap-1", "trap-3"})) << "those names only";
  EXPECT_EQ(intake.runPass(), SpoolIntake::kDone);
  ASSERT_EQ(takeQueued().size(), 6u);
  ledger.finish(taken[0].origin(), false);
  EXPECT_TRUE(fileExists(spool + "trap-1")) << "a trap cut short keeps its file";
  // A new file under the name of a trap in hand: the old trap's end leaves it.
  writeFile(dir.file("newer"), trapText("newer"));
  ASSERT_EQ(::rename(dir.file("newer").c_str(), (spool + "trap-5").c_str()), 0);
  ledger.finish(taken[5].origin(), true);
  ledger.finish(snmpTrap().origin(), true);  // a trap from no spool file
  EXPECT_EQ(intake.runPass(), SpoolIntake::kDone);
  EXPECT_EQ(takeQueued(), (std::vector<std::string>{"trap-1", "newer"}));
  EXPECT_EQ(logged("can't delete"), 0);
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
  EXPECT_EQ(logged("ERR#kivo skips spool entry " + spool +
                   "x\\nMon Dec  7 12:00:00 2026#ERR#FORGED LINE: is a FIFO"), 1);
  EXPECT_EQ(logged("is larger than spool_file_max (4096 bytes)"), 1);
  // Changed entries are judged afresh.
  writeFile(spool + "zz-big", trapText("big"));
  age(spool + "zz-big", 0);  // a change of the seconds alone
  intake.runPass({"zz-big"});
  EXPECT_EQ(takeQueued(), std::vector<std::string>{"big"});
  ASSERT_EQ(::unlink((spool + forged).c_str()), 0);
  writeFile(spool + forged, trapText("was a fifo"));
  intake.runPass();
  EXPECT_EQ(takeQueued(), std::vector<std::string>{"was a fifo"});
  MetricSamples gauges = parseMetricsText(metrics.text());
  EXPECT_EQ(gauges["kivotrapd_spool_files"], 10);
  EXPECT_EQ(gauges["kivotrapd_spool_entries_skipped"], 0);
}

TEST_F(SpoolIntakeTest, AMissingDirectoryIsToldOnceUntilItIsReadableAgain) {
  const std::string missing = dir.file("missing") + "/";
  SpoolIntake away{missing, SpoolIntake::Settings{4096, 10}, gate, ledger, lock, metrics};
  for (int pass = 0; pass < 3; ++pass) away.runPass();
  ASSERT_EQ(::mkdir(missing.c_str(), 0755), 0);
  away.runPass();
  EXPECT_EQ(logged("ERR#kivo can't open spool directory " + missing + ": No such file"), 1);
  EXPECT_EQ(logged("INFO#spool dir readable again: " + missing), 1);
}

TEST_F(SpoolIntakeTest, AFileStillBeingWrittenWaitsUntilItHasSettled) {
  ledger.setLimit(100);
  SpoolIntake settling{spool, SpoolIntake::Settings{4096, 1}, gate, ledger, lock, metrics};
  settling.runPass();
  takeQueued();
  writeFile(spool + "trap-8", "");
  age(spool + "trap-8", 11);  // the writer's clock does not count
  writeFile(spool + "trap-9", "host\nUDP: [192.0.2.7]:161\n.1.3.6.1.4.1.99.1 half");
  settling.runPass({"trap-8", "trap-9"});
  EXPECT_TRUE(takeQueued().empty()) << "neither is complete";
  const SpoolIntake::Clock::time_point due = settling.nextSettleDue();
  EXPECT_GT(due, SpoolIntake::Clock::now() + std::chrono::milliseconds(500));
  writeFile(spool + "trap-9", trapText("trap-9"));
  settling.runPass({});
  EXPECT_EQ(takeQueued(), std::vector<std::string>{"trap-9"}) << "completed";
  std::this_thread::sleep_until(due);  // the settle time itself, on the monotonic clock
  settling.runPass({});
  EXPECT_EQ(takeQueued(), std::vector<std::string>{""}) << "unchanged for the settle time";
  EXPECT_EQ(settling.nextSettleDue(), SpoolIntake::Clock::time_point());
}

}  // namespace

}  // namespace kivo
