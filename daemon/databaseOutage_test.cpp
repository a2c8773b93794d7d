// The daemon binary against a database in the way: a server restarted or
// down at the stop, a locked table, statements cancelled by their timeout.
// No trap's state, record or alert is lost, and nothing holds off the stop.
#include <signal.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "testing/daemonHarness.h"
#include "testing/ownCluster.h"
#include "testing/snmpTrapReceiver.h"

namespace kivo {

namespace {

const char* const kLost = "ERR#connection to the database lost: ";
// The first statement of a trap's transaction, which waits for the lock on
// the service's row.
const std::string kLocking =
    "database statement \"BEGIN\", LockServiceOnce, UpdateState";
const std::string kWaiting = "ERR#" + kLocking + " waiting for 1 s";

class DatabaseOutageThreadTest : public ::testing::Test {
 protected:
  // Services 1 to n alert on every error state, by default appending to
  // alerts; state_log keeps every write of a service's row, so that no state
  // hides behind a later one.
  void seed(int n, const std::string& program = "append_arguments.sh",
            const std::string& file = "") {
    services = n;
    h.addDevice(1, "127.0.0.1");
    for (int id = 1; id <= n; ++id) {
      h.addService(id, 1, DaemonHarness::oid(id), "/usr/lib/nagios/plugins/check_dummy",
                   "$1 \"$2\"");
      h.addAlerting(id, DaemonHarness::testdata(program),
                    (file.empty() ? alerts : file) + " $ERROR");
    }
    h.execute("CREATE TABLE state_log(stdout text);"
              "CREATE FUNCTION keep_state() RETURNS trigger LANGUAGE plpgsql AS"
              "  $$ BEGIN INSERT INTO state_log VALUES (NEW.service_last_stdout); RETURN NEW;"
              "  END $$;"
              "CREATE TRIGGER keep_state AFTER UPDATE ON kivo_services"
              "  FOR EACH ROW EXECUTE FUNCTION keep_state();");
  }

  // Trap i goes to service 1 + i % services, warning or critical by turns
  // for each service, so that each one leaves a state, a record and an alert.
  int stateOf(int i) const { return 1 + (i / services) % 2; }
  std::string outputOf(int i) const {
    return std::string(stateOf(i) == 1 ? "WARNING" : "CRITICAL") + ": trap " +
           std::to_string(i) + "\n";
  }
  void writeTrap(int i) {
    h.spool("trap-" + std::to_string(10000 + i),
            DaemonHarness::serviceTrap(1 + i % services, std::to_string(stateOf(i)),
                                       "trap " + std::to_string(i)));
  }

  // Waits for the n traps' records and alerts, then checks each trap's.
  void expectEveryTrapStored(int n) {
    ASSERT_TRUE(waitFor(
        [&] {
          return h.value("SELECT count(*) FROM kivo_error_happen") == std::to_string(n) &&
                 DaemonHarness::lines(alerts) >= static_cast<size_t>(n);
        },
        std::chrono::seconds(60))) << h.log();
    std::multiset<std::string> expected;
    for (int i = 0; i < n; ++i) expected.insert(outputOf(i));
    auto column = [&](const std::string& sql) {
      std::multiset<std::string> values;
      for (const auto& row : h.rows(sql)) values.insert(row[0]);
      return values;
    };
    EXPECT_EQ(column("SELECT stdout FROM state_log"), expected) << "every state stored once";
    EXPECT_EQ(column("SELECT happen_message FROM kivo_error_happen"), expected);
    std::vector<std::string> sent = splitLines(readFile(alerts));
    EXPECT_EQ(std::multiset<std::string>(sent.begin(), sent.end()),
              column("SELECT happen_id::text FROM kivo_error_happen")) << "one alert per record";
  }

  // Another session holding a lock on table until it rolls back.
  void lock(const std::string& table) {
    locker.reset(PQconnectdb(h.database.connectionString().c_str()));
    runTestSql(locker.get(), "BEGIN; LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE");
  }
  void unlock() { runTestSql(locker.get(), "ROLLBACK"); }

  DaemonHarness h;
  std::string alerts = h.dir.file("alerts");
  int services = 1;
  PgConnection locker;
};

TEST_F(DatabaseOutageThreadTest, RestartMidStreamLosesNothingOverFourConnectionsAndIsToldOnce) {
  OwnCluster server(h.dir, "pg");
  h.useCluster(server);
  seed(8);
  h.config.entries["POSTGRESQL"]["PGSQL_connections"] = "4";
  h.start(8);
  const std::string sessions =
      "SELECT count(*) FROM pg_stat_activity WHERE datname = 'kivo' AND pid <> pg_backend_pid()";
  // The four of the pool and the one that hears of changed services.
  EXPECT_TRUE(waitFor([&] { return h.value(sessions) == "5"; })) << h.value(sessions);
  const int kTraps = 40;
  // The stream's pace, not a wait for anything.
  std::thread writer([&] {
    for (int i = 0; i < kTraps; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
      writeTrap(i);
    }
  });
  bool started = h.waitForLog("EXEC#RETURN exec ", 8);
  if (started) {
    server.halt();
    server.resume();
  }
  writer.join();
  ASSERT_TRUE(started) << h.log();
  expectEveryTrapStored(kTraps);
  EXPECT_EQ(h.count(kLost), 1) << h.log();
  EXPECT_EQ(h.count("INFO#connection to the database back after "), 1);

  // A stop during the next outage never waits for the server, and keeps
  // the trap for the next start.
  server.halt();
  writeTrap(kTraps);
  ASSERT_TRUE(h.waitForLog(kLost, 2)) << h.log();
  EXPECT_EQ(h.stop(std::chrono::seconds(10)), 0);
  EXPECT_EQ(h.count("ERR#trap from 127.0.0.1 left for the next start: statement abandoned: "
                    "the database is unreachable and the daemon is stopping"), 1) << h.log();
  EXPECT_EQ(h.spoolFiles().size(), 1u);
}

// A SIGKILL while a trap's alerting program runs: the metrics file goes
// stale, as the check plug-in says; the rerun of the trap stores nothing
// again, and the alert, still due, runs at the next start.
TEST_F(DatabaseOutageThreadTest, AnAlertCutShortByACrashRunsAtTheNextStart) {
  const std::string mark = h.dir.file("alerting"), metrics = h.dir.file("kivotrapd.prom");
  h.set("KIVO", {{"metrics_file", metrics}, {"metrics_interval", "1"}});
  seed(1, "hang_once.sh", mark);
  h.start(1);
  writeTrap(0);
  ASSERT_TRUE(waitFor([&] { return fileExists(mark); })) << h.log();
  h.daemon->signal(SIGKILL);
  ASSERT_TRUE(h.daemon->waitExit());
  const std::string check = std::string(KIVO_CHECK_BINARY) + " -f " + metrics + " -s 1 >/dev/null";
  EXPECT_TRUE(waitFor([&] { return runProgram({"sh", "-c", check}) == 2; }));
  h.start(1);
  const std::string done = "SELECT count(*) FROM kivo_alert_due WHERE due_done_time IS NOT NULL";
  EXPECT_TRUE(waitFor([&] { return h.value(done) == "1"; })) << h.log();
  EXPECT_EQ(h.value("SELECT count(*) FROM kivo_error_happen"), "1");
  EXPECT_EQ(h.count("INFO#Execute alerting software"), 1) << "the due alert's run, not the trap's";
}

TEST_F(DatabaseOutageThreadTest, ALockedTableIsReportedAndTheStopCancelsTheWait) {
  seed(1);
  h.config.entries["POSTGRESQL"]["PGSQL_slow_statement"] = "1";
  h.config.entries["KIVO"]["stop_grace"] = "1";
  h.start(1);
  lock("kivo_services");
  writeTrap(0);
  ASSERT_TRUE(h.waitForLog(kWaiting)) << h.log();
  unlock();
  expectEveryTrapStored(1);
  EXPECT_EQ(h.count("INFO#" + kLocking + " ended after "), 1);

  lock("kivo_services");
  writeTrap(1);
  ASSERT_TRUE(h.waitForLog(kWaiting, 2)) << h.log();
  // The lock outlasts the stop's wait: only the cancel ends the statement.
  EXPECT_EQ(h.stop(std::chrono::seconds(15)), 0) << h.log();
  unlock();
  EXPECT_EQ(h.count("ERR#" + kLocking + " still running at the stop's deadline: "
                    "cancelled"), 1);
  EXPECT_EQ(h.spoolFiles().size(), 1u) << "the trap cut short stays";
}

TEST_F(DatabaseOutageThreadTest, StatementsCancelledByTheirTimeoutAreRunAgain) {
  seed(1);
  h.config.entries["POSTGRESQL"]["PGSQL_options"] = "options=-cstatement_timeout=300";
  h.start(1);
  lock("kivo_error_happen");
  for (int i = 0; i < 3; ++i) writeTrap(i);
  ASSERT_TRUE(h.waitForLog("ERR#database statement InsertErrorHappen failed, running it again: "))
      << h.log();
  unlock();
  expectEveryTrapStored(3);
  EXPECT_EQ(h.count("INFO#database statement InsertErrorHappen ran again after "), 1);
}

}  // namespace

}  // namespace kivo
