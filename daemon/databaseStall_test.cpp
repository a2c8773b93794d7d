// The database in the way, tried on the real daemon: a table locked by
// another session, statements cancelled by statement_timeout, and a grant
// taken away. Nothing may stall unseen, hold off the stop, or lose a trap's
// record.
#include <gtest/gtest.h>

#include "support/pgSafeThread.h"
#include "testing/daemonHarness.h"

namespace kivo {

namespace {

const char* const kTrapOid = ".1.3.6.1.4.1.99.0.1";

class DatabaseStallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.addDevice(1, "127.0.0.1");
    // The first variable of a trap is the plug-in's exit code.
    harness.addService(1, 1, kTrapOid, DaemonHarness::testdata("record_and_exit.sh"),
                       records + " $1 $2");
    harness.addAlerting(1, DaemonHarness::testdata("append_arguments.sh"),
                        alerts + " --error $ERROR", false, false, true);
    harness.config.entries["POSTGRESQL"]["PGSQL_slow_statement"] = "1";
  }

  // Traps with the codes, in this order.
  void spoolCodes(const std::vector<int>& codes) {
    for (size_t i = 0; i < codes.size(); ++i) {
      harness.spool("trap-" + std::to_string(i),
                    DaemonHarness::trapText("127.0.0.1", kTrapOid,
                                            {{".1.2", std::to_string(codes[i])},
                                             {".1.3", "trap-" + std::to_string(i)}}));
    }
  }

  // Another session holding a lock on table until it rolls back.
  void lock(const std::string& table) {
    locker.reset(PQconnectdb(harness.database.connectionString().c_str()));
    runTestSql(locker.get(), "BEGIN; LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE");
  }
  void unlock() { runTestSql(locker.get(), "ROLLBACK"); }

  // Every alert named a record of its own.
  void expectOneAlertPerRecord(size_t n) {
    std::vector<std::string> ids;
    for (const auto& row : harness.database.rows("SELECT happen_id FROM kivo_error_happen "
                                                 "ORDER BY happen_id")) {
      ids.push_back("--error " + row[0]);
    }
    EXPECT_EQ(ids.size(), n);
    EXPECT_EQ(splitLines(readFile(alerts)), ids);
  }

  DaemonHarness harness;
  std::string records = harness.dir.file("records");
  std::string alerts = harness.dir.file("alerts");
  PgConnection locker;
};

TEST_F(DatabaseStallTest, ALockedTableIsReportedAndTheStopCancelsTheWait) {
  harness.config.entries["KIVO"]["stop_grace"] = "1";
  harness.start(2);
  lock("kivo_services");
  spoolCodes({0, 0, 0});
  ASSERT_TRUE(harness.waitForLog("ERR#database statement UpdateState waiting for 1 s"))
      << readFile(harness.config.systemLog);
  // The lock outlasts the wait below: only the cancel ends the statement.
  EXPECT_EQ(harness.stop(std::chrono::seconds(15)), 0) << readFile(harness.config.systemLog);
  unlock();
  EXPECT_EQ(harness.count("ERR#database statement UpdateState still running at the stop's "
                          "deadline: cancelled"),
            1);
  EXPECT_EQ(harness.spoolFiles().size(), 3u) << "no trap was done";
}

TEST_F(DatabaseStallTest, ALockReleasedInTimeCostsNothing) {
  harness.start(1);
  lock("kivo_services");
  spoolCodes({0, 0});
  ASSERT_TRUE(harness.waitForLog("ERR#database statement UpdateState waiting for 1 s"));
  unlock();
  ASSERT_TRUE(harness.waitForLog("EXEC#RETURN exec 0", 2)) << readFile(harness.config.systemLog);
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(harness.count("INFO#database statement UpdateState ended after "), 1);
  EXPECT_TRUE(harness.spoolFiles().empty());
}

TEST_F(DatabaseStallTest, StatementsCancelledByTheirTimeoutAreRunAgain) {
  harness.config.entries["POSTGRESQL"]["PGSQL_options"] = "options=-cstatement_timeout=300";
  harness.start(1);
  lock("kivo_error_happen");
  spoolCodes({2, 0, 2, 0, 2});
  ASSERT_TRUE(harness.waitForLog("ERR#database statement InsertErrorHappen failed, running it "
                                 "again: ERROR:  canceling statement due to statement timeout"))
      << readFile(harness.config.systemLog);
  unlock();
  ASSERT_TRUE(waitFor([&] { return splitLines(readFile(alerts)).size() >= 3; }))
      << readFile(harness.config.systemLog);
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(harness.count("INFO#database statement InsertErrorHappen ran again after "), 1);
  expectOneAlertPerRecord(3);
  EXPECT_TRUE(harness.spoolFiles().empty());
}

TEST_F(DatabaseStallTest, AGrantTakenAwayIsToldOnceAndNoAlertNamesNoRecord) {
  harness.database.execute(
      "DO $$ BEGIN CREATE ROLE kivo_limited LOGIN; EXCEPTION WHEN duplicate_object THEN NULL; "
      "END $$;"
      "GRANT SELECT ON kivo_plugins, kivo_device, kivo_program, kivo_service_response_program, "
      "kivo_errors TO kivo_limited;"
      "GRANT SELECT, UPDATE ON kivo_services, kivo_error_happen TO kivo_limited;");
  harness.config.entries["POSTGRESQL"]["PGSQL_username"] = "kivo_limited";
  harness.start(1);
  spoolCodes({2, 0, 2, 0, 2});
  ASSERT_TRUE(harness.waitForLog("EXEC#RETURN exec ", 5));
  EXPECT_EQ(harness.stop(), 0);
  EXPECT_EQ(harness.count("ERR#insert error failed:  "), 1) << readFile(harness.config.systemLog);
  EXPECT_EQ(harness.count("ERR#alerting program of service service 1 not run: its error record "
                          "could not be written"),
            3);
  EXPECT_EQ(readFile(alerts), "");
  EXPECT_TRUE(harness.spoolFiles().empty()) << "a lasting failure is not waited out";
}

}  // namespace

}  // namespace kivo
