// The daemon binary against servers of the test's own that go away: a
// restart and a long outage during a stream of traps, the stop during an
// outage, failover to a promoted standby, and start-up settings of the
// connection. Every trap's state, error record and alert must arrive.
#include <signal.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "daemon/spoolIntake.h"
#include "testing/daemonConfig.h"
#include "testing/daemonProcess.h"
#include "testing/ownCluster.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"

namespace kivo {

namespace {

const char* const kLost = "ERR#connection to the database lost: ";
const char* const kStill = "ERR#database still unreachable after ";
const char* const kBack = "INFO#connection to the database back after ";
const char* const kDatabase = "kivo";

// Service 1 of 127.0.0.1 runs check_dummy on the trap's state and text, and
// its alerting program appends the record id to a file. Every write of the
// service's row is kept in state_log, so that no state can hide behind a
// later one.
std::string seedSql(const std::string& alertFile) {
  return "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (1, 2130706433);"
         "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid)"
         "  VALUES (1, '/usr/lib/nagios/plugins/check_dummy', 'trap', '.1.3.6.1.4.1.99.0.1');"
         "INSERT INTO kivo_services(service_id, service_name, service_parameter,"
         "  service_plugin_id, service_device_id) VALUES (1, 'link', '$1 \"$2\"', 1, 1);"
         "INSERT INTO kivo_program(program_id, program_path) VALUES (1, '" KIVO_SOURCE_DIR
         "/daemon/testdata/append_arguments.sh');"
         "INSERT INTO kivo_service_response_program(response_service_id, response_program_id,"
         "  response_unknown, response_warning, response_critical, response_parameter)"
         "  VALUES (1, 1, true, true, true, '" + alertFile + " $ERROR');"
         "CREATE TABLE state_log(stdout text);"
         "CREATE FUNCTION keep_state() RETURNS trigger LANGUAGE plpgsql AS"
         "  $$ BEGIN INSERT INTO state_log VALUES (NEW.service_last_stdout); RETURN NEW; END $$;"
         "CREATE TRIGGER keep_state AFTER UPDATE ON kivo_services"
         "  FOR EACH ROW EXECUTE FUNCTION keep_state();";
}

// Further services 2 to count of the same device on the trap OIDs .2 to
// .count, alike in all else.
std::string moreServicesSql(int count) {
  const std::string last = std::to_string(count);
  return "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid)"
         "  SELECT s, '/usr/lib/nagios/plugins/check_dummy', 'trap', '.1.3.6.1.4.1.99.0.' || s"
         "  FROM generate_series(2, " + last + ") AS s;"
         "INSERT INTO kivo_services(service_id, service_name, service_parameter,"
         "  service_plugin_id, service_device_id)"
         "  SELECT s, 'link ' || s, '$1 \"$2\"', s, 1 FROM generate_series(2, " + last + ") AS s;"
         "INSERT INTO kivo_service_response_program(response_service_id, response_program_id,"
         "  response_unknown, response_warning, response_critical, response_parameter)"
         "  SELECT s, 1, true, true, true, response_parameter FROM generate_series(2, " + last +
         ") AS s, kivo_service_response_program WHERE response_service_id = 1;";
}

class DatabaseOutageThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    primary.reset(new OwnCluster(dir, "primary"));
    primary->createDatabase(kDatabase);
    primary->execute(kDatabase, seedSql(alertFile));
  }

  void TearDown() override {
    daemon.reset();
    standby.reset();
    primary.reset();
  }

  // Trap i goes to service 1 + i % services and reports warning or
  // critical by turns for each service, so that each one leaves a state, a
  // record and an alert.
  int serviceOf(int i) const { return 1 + i % services; }
  int stateOf(int i) const { return 1 + (i / services) % 2; }
  std::string outputOf(int i) const {
    return std::string(stateOf(i) == 1 ? "WARNING" : "CRITICAL") + ": trap " +
           std::to_string(i) + "\n";
  }

  void startDaemon(int workers, const std::string& host, const std::string& port,
                   const std::string& options, int connections = 1) {
    config.entries["KIVO"]["thread_number"] = std::to_string(workers);
    config.entries["POSTGRESQL"] = {{"PGSQL_host", host},
                                    {"PGSQL_port", port},
                                    {"PGSQL_db", kDatabase},
                                    {"PGSQL_username", "postgres"},
                                    {"PGSQL_pwd", ""},
                                    {"PGSQL_options", options},
                                    {"PGSQL_connections", std::to_string(connections)}};
    config.write();
    ::unlink(config.systemLog.c_str());
    DaemonProcess::Options process;
    process.configuration = config.path;
    process.consoleFile = dir.file("console");
    // Attempts every 200 ms at most, so that no wait here lasts 30 s.
    process.environment = {"KIVO_TEST_RECONNECT_MAX_MS=200"};
    daemon.reset(new DaemonProcess(process));
    ASSERT_TRUE(waitFor([&] { return config.count("INFO#load Trap service ") == 1; }))
        << readFile(config.systemLog) << readFile(dir.file("console"));
  }

  void startOnPrimary(int workers) {
    startDaemon(workers, primary->socket(), primary->port(), "");
  }

  // A complete spool file, renamed in as the spool handler does.
  void writeTrap(int i) {
    char name[32];
    snprintf(name, sizeof name, "trap-%06d", i);
    writeFile(dir.file("partial"),
              "localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n"
              ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0." + std::to_string(serviceOf(i)) + "\n"
              "date 2026-12-07 10:00:00\n"
              ".1.3.6.1.4.1.99.1 " + std::to_string(stateOf(i)) + "\n"
              ".1.3.6.1.4.1.99.2 \"trap " + std::to_string(i) + "\"\n");
    ASSERT_EQ(::rename(dir.file("partial").c_str(), (config.spool + name).c_str()), 0);
  }

  // Traps first .. last - 1, one every interval: the stream's pace, not a
  // wait for anything.
  void stream(int first, int last, std::chrono::milliseconds interval) {
    for (int i = first; i < last; ++i) {
      writeTrap(i);
      std::this_thread::sleep_for(interval);
    }
  }

  int logged(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : config.messages()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  // Waits until the n traps' records and alerts are all in, then checks
  // that each trap left its state, its record and an alert with a real id.
  void expectEveryTrapStored(OwnCluster& server, int n) {
    ASSERT_TRUE(waitFor(
        [&] {
          return server.value(kDatabase, "SELECT count(*) FROM kivo_error_happen") ==
                     std::to_string(n) &&
                 splitLines(readFile(alertFile)).size() >= static_cast<size_t>(n);
        },
        std::chrono::seconds(60)))
        << readFile(config.systemLog);
    std::multiset<std::string> expected;
    for (int i = 0; i < n; ++i) expected.insert(outputOf(i));
    auto column = [&](const std::string& sql) {
      std::multiset<std::string> values;
      for (const auto& row : server.rows(kDatabase, sql)) values.insert(row[0]);
      return values;
    };
    EXPECT_EQ(column("SELECT stdout FROM state_log"), expected) << "every state stored once";
    EXPECT_EQ(column("SELECT happen_message FROM kivo_error_happen"), expected)
        << "every record opened once";
    std::multiset<std::string> ids = column("SELECT happen_id::text FROM kivo_error_happen");
    std::vector<std::string> alerts = splitLines(readFile(alertFile));
    EXPECT_EQ(alerts.size(), static_cast<size_t>(n)) << "one alert per trap";
    for (const std::string& alert : alerts) EXPECT_EQ(ids.count(alert), 1u) << "alert id " << alert;
  }

  TempDir dir;
  DaemonConfig config{dir};
  std::string alertFile = dir.file("alerts");
  std::unique_ptr<OwnCluster> primary;
  std::unique_ptr<OwnCluster> standby;
  std::unique_ptr<DaemonProcess> daemon;
  int services = 1;
};

TEST_F(DatabaseOutageThreadTest, RestartMidStreamLosesNoTrap) {
  const int kTraps = 30;
  startOnPrimary(2);
  std::thread writer([&] { stream(0, kTraps, std::chrono::milliseconds(100)); });
  bool started = waitFor([&] { return logged("EXEC#RETURN exec ") >= 5; });
  if (started) {
    primary->halt();
    primary->resume();
  }
  writer.join();
  ASSERT_TRUE(started) << readFile(config.systemLog);
  expectEveryTrapStored(*primary, kTraps);
  EXPECT_EQ(logged(kLost), 1) << readFile(config.systemLog);
  EXPECT_EQ(logged(kBack), 1);
  daemon->signal(SIGTERM);
  ASSERT_TRUE(daemon->waitExit());
  EXPECT_EQ(daemon->exitStatus(), 0);
}

TEST_F(DatabaseOutageThreadTest, FourConnectionsLoseNothingAndTellTheRestartOnce) {
  const int kTraps = 40;
  services = 8;
  primary->execute(kDatabase, moreServicesSql(services));
  startDaemon(8, primary->socket(), primary->port(), "", 4);
  EXPECT_EQ(logged("\t[PG CONSTRUCT] connexion"), 4);
  std::thread writer([&] { stream(0, kTraps, std::chrono::milliseconds(50)); });
  bool started = waitFor([&] { return logged("EXEC#RETURN exec ") >= 8; });
  if (started) {
    primary->halt();
    primary->resume();
  }
  writer.join();
  ASSERT_TRUE(started) << readFile(config.systemLog);
  expectEveryTrapStored(*primary, kTraps);
  std::vector<std::string> alerts = splitLines(readFile(alertFile));
  EXPECT_EQ(std::set<std::string>(alerts.begin(), alerts.end()).size(), alerts.size())
      << "every alert its own record";
  EXPECT_EQ(logged(kLost), 1) << readFile(config.systemLog);
  EXPECT_EQ(logged(kBack), 1);
  daemon->signal(SIGTERM);
  ASSERT_TRUE(daemon->waitExit());
  EXPECT_EQ(daemon->exitStatus(), 0);
  EXPECT_EQ(logged("\t[PG DESCONSTRUCT]fin de connexion"), 4);
}

TEST_F(DatabaseOutageThreadTest, TwentySecondOutageDuringAStreamLosesNoTrap) {
  // Five traps a second: 10 before, 100 during the outage, 10 after.
  const std::chrono::milliseconds kPace(200);
  startOnPrimary(2);
  stream(0, 10, kPace);
  primary->halt();
  stream(10, 110, kPace);
  EXPECT_EQ(logged(kLost), 1) << "noticed during the outage: " << readFile(config.systemLog);
  primary->resume();
  stream(110, 120, kPace);
  expectEveryTrapStored(*primary, 120);
  EXPECT_EQ(logged(kBack), 1);
  EXPECT_LE(logged(kStill), 1) << "at most one line per 30 s in between";
  EXPECT_EQ(logged("ERR#insert error failed:  "), 0);
  EXPECT_EQ(logged("ERR#UpdateState failed"), 0);
}

TEST_F(DatabaseOutageThreadTest, StopDuringAnOutageKeepsTheTrapForTheNextStart) {
  startOnPrimary(2);
  primary->halt();
  writeTrap(0);
  ASSERT_TRUE(waitFor([&] { return logged(kLost) == 1; })) << readFile(config.systemLog);
  daemon->signal(SIGTERM);
  ASSERT_TRUE(daemon->waitExit(std::chrono::seconds(10))) << "the stop never waits for the server";
  EXPECT_EQ(daemon->exitStatus(), 0);
  EXPECT_FALSE(fileExists(alertFile)) << "no alert without its record";
  EXPECT_EQ(config.count("ERR#trap from 127.0.0.1 left for the next start: statement abandoned: "
                         "the database is unreachable and the daemon is stopping"),
            1)
      << readFile(config.systemLog);
  ASSERT_EQ(listDirectory(config.spool).size(), 1u) << "the trap is kept in the spool";

  primary->resume();
  startOnPrimary(2);
  expectEveryTrapStored(*primary, 1);
  EXPECT_TRUE(listDirectory(config.spool).empty());
}

TEST_F(DatabaseOutageThreadTest, SigkillDuringAnOutageThenRestartLosesNothing) {
  startOnPrimary(2);
  stream(0, 3, std::chrono::milliseconds(0));
  ASSERT_TRUE(waitFor([&] {
    return primary->value(kDatabase, "SELECT count(*) FROM kivo_error_happen") == "3";
  })) << readFile(config.systemLog);
  primary->halt();
  stream(3, 8, std::chrono::milliseconds(0));
  ASSERT_TRUE(waitFor([&] { return logged(kLost) == 1; })) << readFile(config.systemLog);
  daemon->signal(SIGKILL);
  ASSERT_TRUE(daemon->waitExit());
  EXPECT_EQ(listDirectory(config.spool).size(), 5u) << "every trap not stored keeps its file";
  EXPECT_EQ(splitLines(readFile(alertFile)).size(), 3u) << "no alert during the outage";

  primary->resume();
  startOnPrimary(2);
  // A trap whose plug-in had run when the process died runs again, once.
  expectEveryTrapStored(*primary, 8);
  ASSERT_TRUE(waitFor([&] { return listDirectory(config.spool).empty(); }));
}

TEST_F(DatabaseOutageThreadTest, FailoverToAPromotedStandbyLosesNoTrap) {
  standby.reset(new OwnCluster(dir, "standby", *primary));
  startDaemon(2, primary->socket() + "," + standby->socket(),
              primary->port() + "," + standby->port(),
              "target_session_attrs=read-write connect_timeout=5");
  stream(0, 5, std::chrono::milliseconds(0));
  ASSERT_TRUE(waitFor([&] {
    return primary->value(kDatabase, "SELECT count(*) FROM kivo_error_happen") == "5";
  })) << readFile(config.systemLog);
  primary->halt();
  stream(5, 10, std::chrono::milliseconds(0));
  ASSERT_TRUE(waitFor([&] { return logged(kLost) == 1; })) << readFile(config.systemLog);
  standby->promote();
  expectEveryTrapStored(*standby, 10);
  EXPECT_EQ(logged(kBack), 1);
}

// Start-up settings of the connection, on the shared cluster.
TEST(DatabaseSettingsTest, PasswordWithABlankIsNotWritten) {
  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  config.useDatabase(database);
  config.entries["POSTGRESQL"]["PGSQL_pwd"] = "k1vo-first k1vo-second";
  config.write();
  DaemonProcess daemon(config.path, dir.file("console"));
  ASSERT_TRUE(daemon.waitExit());
  std::string log = readFile(config.systemLog);
  EXPECT_NE(log.find("POSTGRESQL EXCEPTION"), std::string::npos) << log;
  EXPECT_EQ(log.find("k1vo"), std::string::npos) << log;
}

TEST(DatabaseSettingsTest, UnreachableServerAtStartupStopsTheDaemonWithItsLines) {
  TempDir dir;
  DaemonConfig config{dir};
  const std::string nowhere = dir.file("no-server");
  config.entries["POSTGRESQL"] = {{"PGSQL_host", nowhere},
                                  {"PGSQL_port", "5432"},
                                  {"PGSQL_db", "kivo"},
                                  {"PGSQL_username", "kivo"},
                                  {"PGSQL_pwd", "s3cret"},
                                  {"PGSQL_options", "connect_timeout=5"}};
  config.write();
  DaemonProcess daemon(config.path, dir.file("console"));
  ASSERT_TRUE(daemon.waitExit()) << "no reconnection at start-up";
  std::vector<std::string> lines = config.messages();
  auto from = std::find(lines.begin(), lines.end(), "INFO#Connection database....");
  ASSERT_NE(from, lines.end()) << readFile(config.systemLog);
  EXPECT_EQ(std::vector<std::string>(from, lines.end()),
            (std::vector<std::string>{
                "INFO#Connection database....",
                "\t[PG CONSTRUCT] connexion",
                "\t[PG CONSTRUCT]fin de connexion",
                "POSTGRESQL EXCEPTIONconnection to server on socket \"" + nowhere +
                    "/.s.PGSQL.5432\" failed: No such file or directory",
                "\tIs the server running locally and accepting connections on that socket?",
                "",
                "host=" + nowhere + " port=5432 dbname=kivo user=kivo connect_timeout=5 "
                "password=********",
                "INFO# kivoTrapD is stopping ... SIGTERM",
            }));
}

TEST(DatabaseSettingsTest, OptionsReachTheServer) {
  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  config.useDatabase(database);
  config.entries["POSTGRESQL"]["PGSQL_options"] = "application_name=kivo-options-test";
  std::unique_ptr<DaemonProcess> daemon;
  ASSERT_TRUE(startLoadedDaemon(config, dir.file("console"), daemon))
      << readFile(config.systemLog);
  EXPECT_EQ(database.value("SELECT count(*) FROM pg_stat_activity"
                           " WHERE application_name='kivo-options-test'"),
            "1");
  daemon->signal(SIGTERM);
  ASSERT_TRUE(daemon->waitExit());
}

}  // namespace

}  // namespace kivo
