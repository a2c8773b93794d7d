// The daemon binary's signals and exit status: SIGINT stops as SIGTERM does,
// SIGHUP reopens the system log and never stops the daemon, a restart keeps
// the previous run's log, and a stop caused by a failure ends with status 1.
#include "daemon/termSignal.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "testing/daemonConfig.h"
#include "testing/daemonProcess.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"

namespace kivo {

namespace {

class DaemonSignalTest : public ::testing::Test {
 protected:
  DaemonProcess& start() {
    config.write();
    daemon.reset(new DaemonProcess(config.path, dir.file("console")));
    return *daemon;
  }

  static bool has(const std::vector<std::string>& lines, const std::string& message) {
    return std::find(lines.begin(), lines.end(), message) != lines.end();
  }

  bool waitForLog(const std::string& message) {
    return waitFor([&] { return has(config.messages(), message); });
  }

  // The daemon is in its intake loop once its workers are started: none
  // here, which is its last start-up line.
  void waitRunning() {
    ASSERT_TRUE(waitForLog("ERR#thread_number 0: no worker thread starts, no trap will be handled"))
        << readFile(config.systemLog);
  }

  int stopWith(int number) {
    daemon->signal(number);
    EXPECT_TRUE(daemon->waitExit()) << "the daemon must end after signal " << number;
    return daemon->exitStatus();
  }

  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  std::unique_ptr<DaemonProcess> daemon;

  void SetUp() override { config.useDatabase(database); }
};

TEST_F(DaemonSignalTest, SigintStopsExactlyAsSigterm) {
  std::vector<std::vector<std::string>> tails;
  for (int number : {SIGTERM, SIGINT}) {
    // The wait for the loop must not read the log of the run before.
    ::unlink(config.systemLog.c_str());
    start();
    waitRunning();
    EXPECT_EQ(stopWith(number), 0) << "signal " << number;
    std::vector<std::string> lines = config.messages();
    ASSERT_GE(lines.size(), 3u) << "signal " << number;
    tails.emplace_back(lines.end() - 3, lines.end());
  }
  std::vector<std::string> expected = {"INFO# stop kivoTrapD... SIGTERM",
                                       "INFO# kivoTrapD is stopping ... SIGTERM",
                                       "\t[PG DESCONSTRUCT]fin de connexion"};
  EXPECT_EQ(tails[0], expected) << "SIGTERM";
  EXPECT_EQ(tails[1], expected) << "SIGINT";
}

TEST_F(DaemonSignalTest, SighupReopensTheSystemLogAndTheDaemonRunsOn) {
  start();
  waitRunning();
  std::string moved = config.systemLog + ".1";
  ASSERT_EQ(::rename(config.systemLog.c_str(), moved.c_str()), 0);
  daemon->signal(SIGHUP);
  std::string reopened = "INFO#SIGHUP: system log reopened " + config.systemLog;
  ASSERT_TRUE(waitForLog(reopened)) << "a new file at the path";
  // Hang-up after hang-up: each one reopens, none stops. (Signals sent in a
  // burst may merge into one.)
  for (int i = 2; i <= 4; ++i) {
    daemon->signal(SIGHUP);
    ASSERT_TRUE(waitFor([&] { return config.count(reopened) == i; })) << readFile(config.systemLog);
  }
  EXPECT_FALSE(daemon->exited()) << "SIGHUP never ends the daemon";

  EXPECT_EQ(stopWith(SIGTERM), 0);
  std::vector<std::string> lines = config.messages();
  EXPECT_TRUE(has(lines, "INFO# kivoTrapD is stopping ... SIGTERM")) << "stop lines go to the new file";
  std::vector<std::string> before = logMessages(readFile(moved));
  EXPECT_TRUE(has(before, "INFO#load Trap service ")) << "the moved file keeps the start-up";
  EXPECT_FALSE(has(before, reopened)) << "the reopen line goes to the new file only";
}

TEST_F(DaemonSignalTest, RestartKeepsTheLogOfTheRunBefore) {
  start();
  waitRunning();
  EXPECT_EQ(stopWith(SIGTERM), 0);
  std::string firstRun = readFile(config.systemLog);
  start();
  ASSERT_TRUE(waitFor([&] { return fileExists(config.systemLog + ".previous"); }));
  waitRunning();
  EXPECT_EQ(stopWith(SIGTERM), 0);
  EXPECT_EQ(readFile(config.systemLog + ".previous"), firstRun);
  std::vector<std::string> lines = config.messages();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "INFO#Log file system: " + config.systemLog) << "the new run starts empty";
}

TEST_F(DaemonSignalTest, StopsCausedByAFailureEndWithStatusOne) {
  struct Case {
    const char* name;
    const char* section;
    const char* key;
    std::string value;
    std::string linePrefix;
  } cases[] = {
      {"database missing", "POSTGRESQL", "PGSQL_db", "kivo_no_such_database",
       "POSTGRESQL EXCEPTION"},
      {"trap log unopenable", "LOG", "log_trap_receive", dir.file("no/trap.log"),
       "File errorerror open file: " + dir.file("no/trap.log")},
  };
  for (const Case& c : cases) {
    DaemonConfig failing{dir};
    failing.useDatabase(database);
    failing.entries[c.section][c.key] = c.value;
    config = failing;
    start();
    ASSERT_TRUE(daemon->waitExit()) << c.name;
    EXPECT_EQ(daemon->exitStatus(), 1) << c.name;
    std::vector<std::string> lines = config.messages();
    auto failure = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.rfind(c.linePrefix, 0) == 0;
    });
    EXPECT_NE(failure, lines.end()) << c.name << ": " << readFile(config.systemLog);
    EXPECT_TRUE(has(lines, "INFO# kivoTrapD is stopping ... SIGTERM"))
        << c.name << ": the stop line stays as it was";
  }
}

}  // namespace

}  // namespace kivo
