// Two daemons, each with its own spool, on one database: a service's traps
// split between them still follow the state that the other one stored, and
// a service changed by SQL reaches both.
#include <gtest/gtest.h>

#include <set>

#include "testing/daemonHarness.h"

namespace kivo {

namespace {

const std::string kPlugin = "/usr/lib/nagios/plugins/check_dummy";

// Traps of two services, critical and OK by turns, the criticals handed to
// one daemon and the OKs to the other, so that neither ever saw the state it
// acts on; each trap waits for the one before it to be stored, so the order
// is the test's.
TEST(SeveralHostsTest, EveryCriticalOpensOneRecordEveryOkClosesItAndSqlChangesReachBoth) {
  DaemonHarness a, b;
  b.config.useDatabase(a.database);
  const std::string alerts = a.dir.file("alerts");
  a.addDevice(1, "127.0.0.1");
  for (int id : {1, 2}) {
    a.addService(id, 1, DaemonHarness::oid(id), kPlugin, "$1 \"$2\"");
    a.addAlerting(id, DaemonHarness::testdata("append_arguments.sh"), alerts + " $ERROR");
  }
  a.start(2);
  b.start(2);
  const int kTraps = 16;
  for (int i = 0; i < kTraps; ++i) {
    const int service = 1 + i % 2, step = i / 2;
    DaemonHarness& host = step % 2 == 0 ? a : b;
    host.spool("trap-" + std::to_string(i),
               DaemonHarness::serviceTrap(service, step % 2 == 0 ? "2" : "0",
                                          "trap " + std::to_string(i)));
    const std::string stored = "SELECT count(*) FROM kivo_services WHERE service_last_stdout LIKE "
                               "'%: trap " + std::to_string(i) + "%'";
    ASSERT_TRUE(waitFor([&] { return a.value(stored) == "1"; })) << a.log() << b.log();
  }
  ASSERT_TRUE(waitFor([&] { return DaemonHarness::lines(alerts) == kTraps / 2; }));
  std::multiset<std::string> opened;
  for (const auto& row : a.rows("SELECT happen_id, happen_acquitte FROM kivo_error_happen")) {
    EXPECT_EQ(row.at(1), "1") << "record " << row.at(0) << " acknowledged";
    opened.insert(row.at(0));
  }
  std::vector<std::string> ran = splitLines(readFile(alerts));
  EXPECT_EQ(std::multiset<std::string>(ran.begin(), ran.end()), opened);
  EXPECT_EQ(a.value("SELECT string_agg(service_previous_state::text, ' ' ORDER BY service_id) "
                    "FROM kivo_services"),
            "0 0");
  EXPECT_EQ(a.value("SELECT count(*) FROM kivo_alert_due WHERE due_done_time IS NULL"), "0");

  // A service changed by SQL reaches both without a signal, in one reload
  // for the burst; after their listening connections end they reload
  // again, since notices may have been missed.
  a.execute("UPDATE kivo_services SET service_parameter = '0 changed' WHERE service_id = 1;"
            "UPDATE kivo_plugins SET plugin_priority = 1");
  for (DaemonHarness* h : {&a, &b}) {
    ASSERT_TRUE(h->waitForLog("INFO#services reloaded: 2 services", 1, std::chrono::seconds(3)))
        << h->log();
    h->spool(h == &a ? "trap-a" : "trap-b", DaemonHarness::serviceTrap(1, "0", "after"));
    ASSERT_TRUE(h->waitForLog("EXEC#" + kPlugin + " 0 changed")) << h->log();
    EXPECT_EQ(h->count("INFO#services reloaded: "), 1) << "a burst is one reload";
  }
  a.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
            " WHERE query = 'LISTEN kivo_services_changed' AND datname = current_database()");
  for (DaemonHarness* h : {&a, &b}) {
    ASSERT_TRUE(h->waitForLog("INFO#services reloaded: ", 2)) << h->log();
    EXPECT_EQ(h->count("INFO#service notices: listening again"), 1) << h->log();
  }
}

}  // namespace

}  // namespace kivo
