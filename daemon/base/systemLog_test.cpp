// The daemon's two logs and its hang-up. The system log: the previous run's
// file kept at open, and reopening at the same path after a move, a rotation
// by copy, or a vanished directory. The trap log: its line for a trap and a
// lost directory. The unknown-trap log and counts: failures told once. The
// reload thread: when it runs the reload it is asked for,
// and when not; which services a reload changed, and the gauge of them.
#include "daemon/base/systemLog.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "check/metricsText.h"
#include "daemon/base/daemonGlobals.h"
#include "daemon/database/serviceReload.h"
#include "daemon/database/servicesReloaded.h"
#include "daemon/worker/trapLog.h"
#include "daemon/worker/unknownTraps.h"
#include "support/exceptions.h"
#include "support/metrics.h"
#include "support/standardOutput.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

namespace {

TEST(SystemLog, OpenKeepsThePreviousRunOrSaysWhyNotAndStartsEmpty) {
  TempDir dir;
  const std::string path = dir.file("kivotrapd.log"), blocked = dir.file("blocked.log");
  writeFile(path, "line of the run before\n");
  ASSERT_EQ(::mkdir((blocked + ".previous").c_str(), 0755), 0);  // in the way of the rename
  writeFile(blocked + ".previous/x", "x");
  writeFile(blocked, "old\n");
  for (const std::string& opened : {path, blocked, dir.file("first.log")}) {
    SystemLog log;
    log.open(opened);
    EXPECT_EQ(readFile(opened), "") << opened;
    EXPECT_EQ(log.keepPreviousError() != 0, opened == blocked) << opened;
  }
  EXPECT_EQ(readFile(path + ".previous"), "line of the run before\n");
  EXPECT_FALSE(fileExists(dir.file("first.log.previous"))) << "a first run leaves none";
}

TEST(SystemLog, ReopenTakesTheFileAtThePathUnderTheSameDescriptorOrKeepsTheOld) {
  TempDir dir;
  const std::string path = dir.file("sub/kivotrapd.log");
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
  SystemLog log;
  log.open(path);
  const int descriptor = standardOutputDescriptor();
  writeStandardOutputLine("one");
  EXPECT_EQ(log.reopen(), 0);
  writeStandardOutputLine("two");
  EXPECT_EQ(readFile(path), "one\ntwo\n") << "appended";
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);  // a rotation by copy
  writeStandardOutputLine("kept");
  EXPECT_EQ(readFile(path), "kept\n") << "appending leaves no hole of zero bytes";
  ASSERT_EQ(::rename(path.c_str(), dir.file("moved.log").c_str()), 0);
  EXPECT_EQ(log.reopen(), 0);
  writeStandardOutputLine("after");
  EXPECT_EQ(readFile(path), "after\n");
  EXPECT_EQ(readFile(dir.file("moved.log")), "kept\n");
  EXPECT_EQ(standardOutputDescriptor(), descriptor) << "children started meanwhile keep it";
  ASSERT_EQ(::rename(path.c_str(), dir.file("moved.log").c_str()), 0);
  ASSERT_EQ(::rmdir(dir.file("sub").c_str()), 0);
  EXPECT_EQ(log.reopen(), ENOENT);
  writeStandardOutputLine("still written");
  EXPECT_EQ(readFile(dir.file("moved.log")), "after\nstill written\n");
}

snmpTrap trapOf(const std::string& content) {
  snmpTrap trap;
  trap.readText(content);
  return trap;
}

const std::string kHeader = "host1\nUDP: [192.0.2.7]:161\n.1.3.6.1.6.3.1.1.4.1.0 .1.9\n";

TEST(TrapLog, LineFormat) {
  struct Case {
    std::string content, line;
  } cases[] = {
      {kHeader + "date 2024-01-31 10:00:00\n", "2024-01-31 10:00:00#.1.9#host1#192.0.2.7"},
      {kHeader + "date \"d\"\n.1.2 up\n.1.3 a#b\n", "\"d\"#.1.9#host1#192.0.2.7#.1.2:up#.1.3:a#b#"},
      {"", "###"},
      {"host\r\nUDP: [192.0.2.7]:161\ndate d\n.1.2 a\x1b[2Jb\r\n.1.3 " + std::string(1, '\0'),
       "d##host\\r#192.0.2.7#.1.2:a\\x1b[2Jb\\r#.1.3:\\x00#"},
  };
  for (const Case& c : cases) EXPECT_EQ(trapLogLine(trapOf(c.content)), c.line);
}

TEST(TrapLog, ALostDirectoryIsReportedAndRecovered) {
  TempDir dir;
  const std::string logDir = dir.file("log"), logPath = logDir + "/trap_receive.log";
  ASSERT_EQ(::mkdir(logDir.c_str(), 0755), 0);
  flog_trap_receive.reset(new logFile(logPath));
  snmpTrap trap = trapOf(kHeader + "date d\n");
  CapturedOutput output;
  write_trap_log(trap);
  ::unlink(logPath.c_str());
  ::rmdir(logDir.c_str());
  write_trap_log(trap);
  EXPECT_EQ(logMessages(output.text()),
            std::vector<std::string>{"ERR#write error trap log file: /trap_receive.log"});
  ::mkdir(logDir.c_str(), 0755);
  write_trap_log(trap);
  flog_trap_receive.reset();
  EXPECT_EQ(readFile(logPath), "d#.1.9#host1#192.0.2.7\n");
}

TEST(UnknownTraps, LogAndCountFailuresAreToldOnceAndAMissingTableEndsTheCounts) {
  TempDir dir;
  const std::string logDir = dir.file("log"), logPath = logDir + "/trap_unknown.log";
  // Per flush: the SQLSTATE the store fails with, "" for success.
  std::vector<std::string> failures = {"XX000", "XX000", "", "42P01"};
  std::vector<long> stored;
  UnknownTraps unknown(logPath, [&](const UnknownPairs& pairs) {
    ASSERT_FALSE(failures.empty()) << "no store after a missing table";
    const std::string state = failures.front();
    failures.erase(failures.begin());
    if (!state.empty()) throw PostgresqlException("refused", state);
    for (const UnknownPair& pair : pairs) stored.push_back(pair.count);
  });
  const snmpTrap trap = trapOf(kHeader + "date d\n");
  const snmpTrap other = trapOf("host2\nUDP: [192.0.2.8]:161\n.1.3.6.1.6.3.1.1.4.1.0 .1.9\n");
  CapturedOutput output;
  for (int flush = 0; flush < 5; ++flush) {
    if (flush == 1) ::mkdir(logDir.c_str(), 0755);
    for (const snmpTrap* t : {&trap, &other, &trap}) unknown.seen(*t);
    unknown.flush();
  }
  EXPECT_EQ(logMessages(output.text()),
            (std::vector<std::string>{
                "ERR#can't write unknown trap log: error open file: " + logPath,
                "ERR#can't count traps without a service in kivo_trap_unknown, their counts are "
                "lost: refused",
                "INFO#unknown trap log written again: " + logPath,
                "INFO#kivo_trap_unknown written again",
                "ERR#table kivo_trap_unknown is missing: traps without a service are not counted "
                "in the database; refused"}));
  EXPECT_EQ(stored, (std::vector<long>{2, 1})) << "by address and OID";
  EXPECT_EQ(splitLines(readFile(logPath)).size(), 12u);
  EXPECT_EQ(splitLines(readFile(logPath))[1], "#192.0.2.8#host2#.1.9");
}

// A reload that counts its runs and waits at the gate until the test opens it.
class CountedReload {
 public:
  void operator()() {
    ++started;
    gate.wait();
    ++ended;
  }
  bool waitStarted(int n) const {
    return waitFor([&] { return started.load() >= n; }, std::chrono::seconds(10));
  }

  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  std::atomic<int> started{0}, ended{0};
};

TEST(ServiceReloadThreadTest, RequestsBeforeTheStartMakeOneReloadAndThoseDuringItOneMore) {
  CountedReload counted;
  ServiceReload reload([&] { counted(); });
  reload.request();
  reload.request();
  reload.start();
  ASSERT_TRUE(counted.waitStarted(1));
  for (int i = 0; i < 3; ++i) reload.request();
  counted.open.set_value();
  ASSERT_TRUE(counted.waitStarted(2));
  reload.finish();
  EXPECT_EQ(counted.started.load() + counted.ended.load(), 4);
}

TEST(ServiceReloadThreadTest, FinishWaitsForTheReloadUnderWayAndNothingRunsAfter) {
  CountedReload counted;
  ServiceReload reload([&] { counted(); });
  reload.start();
  reload.request();
  ASSERT_TRUE(counted.waitStarted(1));
  auto finished = std::async(std::launch::async, [&] {
    reload.finish();
    return counted.ended.load();
  });
  counted.open.set_value();
  EXPECT_EQ(finished.get(), 1) << "the reload begun has ended";
  reload.request();
  reload.start();
  reload.finish();
  EXPECT_EQ(counted.started.load(), 1);
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

TEST(ServicesReloaded, ServicesThatChangedOrWentAreNamedAndCounted) {
  MapTrapService::Services before = {{"192.0.2.7", {make(1, "$1"), make(2, "$1"), make(3, "$1")}},
                                     {"192.0.2.8", {make(4, "$1")}}};
  MapTrapService::Services after = {{"192.0.2.7", {make(1, "$1"), make(2, "-v $1")}},
                                    {"192.0.2.9", {make(4, "$1")}}};
  // 1 is as it was; 2 has another template, 3 went, 4 moved to another address.
  EXPECT_EQ(changedServices(before, after), (std::vector<int>{2, 3, 4}));
  EXPECT_TRUE(changedServices(before, before).empty());
  Metrics metrics;
  servicesReloaded(before, after, nullptr, metrics);
  EXPECT_EQ(parseMetricsText(metrics.text())["kivotrapd_services"], 3) << "the gauge follows";
}

}  // namespace

}  // namespace kivo
