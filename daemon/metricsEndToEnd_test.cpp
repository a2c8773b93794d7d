// The daemon binary seen from outside through its metrics: the listener and
// the file after a handful of traps, with promtool's verdict on both; the
// check plug-in against a daemon whose database goes away and against a
// killed daemon; and a listener or file that cannot be set up. Every interval
// and limit is set small, so no test waits for a default.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "daemon/checkKivotrapd.h"
#include "support/metricsSource.h"
#include "support/metricsText.h"
#include "support/posixIo.h"
#include "testing/daemonConfig.h"
#include "testing/daemonProcess.h"
#include "testing/ownCluster.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"

namespace kivo {

namespace {

const char* const kServedPrefix = "INFO#metrics served on http://127.0.0.1:";

// Device 127.0.0.1 with service 1 on .99.0.1, which exits with the trap's
// first value and alerts with /bin/true on a critical result, and service 2
// on .99.0.3, which sleeps beyond any small plugin_timeout and whose alerting
// program for an unknown result cannot be started. .99.0.2 has no service.
const char kSeedSql[] =
    "INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (1, 2130706433);"
    "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid) VALUES"
    "  (1, '/bin/sh', 'trap', '.1.3.6.1.4.1.99.0.1'),"
    "  (2, '/bin/sleep', 'trap', '.1.3.6.1.4.1.99.0.3');"
    "INSERT INTO kivo_services(service_id, service_name, service_parameter, service_plugin_id,"
    "  service_device_id) VALUES (1, 'exits', '-c \"exit $1\"', 1, 1), (2, 'sleeps', '30', 2, 1);"
    "INSERT INTO kivo_program(program_id, program_path) VALUES (1, '/bin/true'),"
    "  (2, '/nonexistent/alerting-program');"
    "INSERT INTO kivo_service_response_program(response_service_id, response_program_id,"
    "  response_unknown, response_warning, response_critical, response_parameter) VALUES"
    "  (1, 1, false, false, true, '$ERROR'), (2, 2, true, false, false, '$ERROR');";

// The check plug-in in-process: its exit status and its line.
int check(const std::vector<std::string>& arguments, std::string* line = nullptr) {
  std::ostringstream out;
  int status = kivo::runCheck(arguments, out);
  if (line != nullptr) *line = out.str();
  return status;
}

// promtool's complaints about an exposition; empty when it has none.
std::string promtoolProblems(const TempDir& dir, const std::string& text) {
  writeFile(dir.file("exposition"), text);
  std::string command = "promtool check metrics < " + dir.file("exposition") + " > " +
                        dir.file("promtool") + " 2>&1";
  int status = ::system(command.c_str());
  std::string output = readFile(dir.file("promtool"));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "promtool status " + std::to_string(status) + ": " + output;
  }
  return output;
}

class MetricsEndToEndThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config.entries["KIVO"]["metrics_file"] = metricsFile;
    config.entries["KIVO"]["metrics_interval"] = "1";
    config.entries["KIVO"]["plugin_timeout"] = "1";
  }

  void startDaemon(std::vector<std::string> environment = {}) {
    config.entries["KIVO"]["thread_number"] = "1";
    config.write();
    ::unlink(config.systemLog.c_str());
    DaemonProcess::Options options;
    options.configuration = config.path;
    options.consoleFile = dir.file("console");
    options.environment = std::move(environment);
    daemon.reset(new DaemonProcess(options));
    ASSERT_TRUE(waitFor([&] { return config.count("INFO#load Trap service ") == 1; }))
        << readFile(config.systemLog) << readFile(dir.file("console"));
  }

  void stopDaemon() {
    daemon->signal(SIGTERM);
    ASSERT_TRUE(daemon->waitExit());
    EXPECT_EQ(daemon->exitStatus(), 0);
  }

  // A spool file as the spool handler writes it, renamed in whole.
  void writeTrap(const std::string& name, const std::string& oid, const std::string& value) {
    writeFile(dir.file("partial"),
              "localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n"
              ".1.3.6.1.6.3.1.1.4.1.0 " + oid + "\n"
              "date 2026-12-07 10:00:00\n"
              ".1.3.6.1.4.1.99.1 " + value + "\n");
    ASSERT_EQ(::rename(dir.file("partial").c_str(), (config.spool + name).c_str()), 0);
  }

  kivo::MetricSamples fileSamples() const {
    return kivo::parseMetricsText(readFile(metricsFile));
  }

  int countStartingWith(const std::string& prefix) const {
    int found = 0;
    for (const std::string& line : config.messages()) found += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return found;
  }

  // The listener's port from its INFO line; 0 before the line.
  int listenerPort() const {
    for (const std::string& line : config.messages()) {
      if (line.rfind(kServedPrefix, 0) == 0) return ::atoi(line.c_str() + strlen(kServedPrefix));
    }
    return 0;
  }

  TempDir dir;
  DaemonConfig config{dir};
  std::string metricsFile = dir.file("kivotrapd.prom");
  std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(MetricsEndToEndThreadTest, ListenerAndFileCountTheTrapsAlike) {
  TestDatabase database;
  database.execute(kSeedSql);
  config.useDatabase(database);
  config.entries["KIVO"]["metrics_listen"] = "127.0.0.1:0";
  startDaemon();
  ASSERT_TRUE(waitFor([&] { return listenerPort() > 0; })) << readFile(config.systemLog);
  // One worker takes them in name order.
  writeTrap("trap-1", ".1.3.6.1.4.1.99.0.1", "0");
  writeTrap("trap-2", ".1.3.6.1.4.1.99.0.1", "2");
  writeTrap("trap-3", ".1.3.6.1.4.1.99.0.2", "0");
  writeTrap("trap-4", ".1.3.6.1.4.1.99.0.1", "7");
  writeTrap("trap-5", ".1.3.6.1.4.1.99.0.3", "0");
  const std::map<std::string, double> expected = {
      {"kivotrapd_traps_taken_total", 5},
      {"kivotrapd_traps_done_total{outcome=\"run\"}", 3},
      {"kivotrapd_traps_done_total{outcome=\"no_service\"}", 1},
      {"kivotrapd_traps_done_total{outcome=\"folded\"}", 0},
      {"kivotrapd_traps_done_total{outcome=\"plugin_failed\"}", 1},
      {"kivotrapd_plugin_exits_total{code=\"0\"}", 1},
      {"kivotrapd_plugin_exits_total{code=\"1\"}", 0},
      {"kivotrapd_plugin_exits_total{code=\"2\"}", 1},
      {"kivotrapd_plugin_exits_total{code=\"3\"}", 0},
      {"kivotrapd_plugin_exits_total{code=\"4\"}", 0},
      {"kivotrapd_plugin_timeouts_total", 1},
      {"kivotrapd_plugin_duration_seconds_count", 4},
      {"kivotrapd_alerts_total{result=\"ok\"}", 1},
      {"kivotrapd_alerts_total{result=\"failed\"}", 1},
      {"kivotrapd_alerts_total{result=\"timed_out\"}", 0},
      {"kivotrapd_spool_files", 0},
      {"kivotrapd_spool_oldest_file_timestamp_seconds", 0},
      {"kivotrapd_spool_entries_skipped", 0},
      {"kivotrapd_traps_in_memory", 0},
      {"kivotrapd_workers", 1},
      {"kivotrapd_workers_busy", 0},
      {"kivotrapd_database_up", 1},
      {"kivotrapd_database_outages_total", 0},
      {"kivotrapd_services", 2},
      {"kivotrapd_build_info{version=\"1.0.0\"}", 1},
  };
  auto matches = [&expected](const kivo::MetricSamples& samples) {
    for (const auto& entry : expected) {
      auto found = samples.find(entry.first);
      if (found == samples.end() || found->second != entry.second) return false;
    }
    return true;
  };
  ASSERT_TRUE(waitFor([&] { return matches(fileSamples()); })) << readFile(metricsFile)
                                                                << readFile(config.systemLog);
  const std::string url = kivo::metricsUrl("127.0.0.1", listenerPort());
  kivo::MetricsRead served = kivo::fetchMetrics(url, 5);
  ASSERT_TRUE(served.ok) << served.error;
  kivo::MetricSamples samples = kivo::parseMetricsText(served.text);
  for (const auto& entry : expected) EXPECT_EQ(samples[entry.first], entry.second) << entry.first;

  EXPECT_EQ(promtoolProblems(dir, readFile(metricsFile)), "");
  EXPECT_EQ(promtoolProblems(dir, served.text), "");
  std::string line;
  EXPECT_EQ(check({"-H", "127.0.0.1", "-p", std::to_string(listenerPort())}, &line), 0) << line;
  EXPECT_EQ(check({"-f", metricsFile}, &line), 0) << line;
  stopDaemon();
  EXPECT_EQ(fileSamples()["kivotrapd_workers"], 0) << "the last file, after the workers";
}

TEST_F(MetricsEndToEndThreadTest, DatabaseAwayTurnsTheCheckCriticalAndBack) {
  OwnCluster server(dir, "server");
  server.createDatabase("kivo");
  server.execute("kivo", kSeedSql);
  config.entries["POSTGRESQL"] = {{"PGSQL_host", server.socket()}, {"PGSQL_port", server.port()},
                                  {"PGSQL_db", "kivo"},            {"PGSQL_username", "postgres"},
                                  {"PGSQL_pwd", ""}};
  // Reconnection attempts every 200 ms at most.
  startDaemon({"KIVO_TEST_RECONNECT_MAX_MS=200"});
  auto up = [&] { return fileSamples()["kivotrapd_database_up"]; };
  ASSERT_TRUE(waitFor([&] { return up() == 1; })) << readFile(metricsFile);
  std::string line;
  EXPECT_EQ(check({"-f", metricsFile}, &line), 0) << line;

  server.halt();
  ASSERT_TRUE(waitFor([&] { return up() == 0; })) << "found by the probe, with no trap";
  EXPECT_EQ(check({"-f", metricsFile}, &line), 2);
  EXPECT_NE(line.find("database down"), std::string::npos) << line;
  // A trap meets the outage: the connection counts it.
  writeTrap("trap-1", ".1.3.6.1.4.1.99.0.1", "0");
  ASSERT_TRUE(waitFor([&] { return fileSamples()["kivotrapd_database_outages_total"] == 1; }))
      << readFile(config.systemLog);

  server.resume();
  ASSERT_TRUE(waitFor([&] {
    kivo::MetricSamples samples = fileSamples();
    return samples["kivotrapd_database_up"] == 1 &&
           samples["kivotrapd_traps_done_total{outcome=\"run\"}"] == 1;
  })) << readFile(metricsFile) << readFile(config.systemLog);
  EXPECT_EQ(check({"-f", metricsFile}, &line), 0) << line;
  stopDaemon();
}

TEST_F(MetricsEndToEndThreadTest, AKilledDaemonLeavesAStaleFile) {
  TestDatabase database;
  config.useDatabase(database);
  startDaemon();
  ASSERT_TRUE(waitFor([&] { return fileSamples()["kivotrapd_workers"] == 1; }));
  const std::vector<std::string> arguments = {"-f", metricsFile, "-s", "1"};
  std::string line;
  EXPECT_EQ(check(arguments, &line), 0) << line;
  daemon->signal(SIGKILL);
  ASSERT_TRUE(daemon->waitExit());
  EXPECT_TRUE(waitFor([&] { return check(arguments) == 2; }));
  // The installed program says the same.
  std::string command = std::string(KIVO_CHECK_BINARY) + " -f " + metricsFile + " -s 1 > " +
                        dir.file("check") + " 2>&1";
  int status = ::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_TRUE(std::regex_match(readFile(dir.file("check")),
                               std::regex("KIVOTRAPD CRITICAL - metrics file [0-9]+ s old, the "
                                          "daemon is gone or stuck; .* age=[0-9]+s;;1 .*\n")))
      << readFile(dir.file("check"));
}

TEST_F(MetricsEndToEndThreadTest, ABusyPortAndAnUnwritableDirectoryCostOneLineEach) {
  // A port held by the test.
  FileDescriptor holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(holder.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(holder.get(), 1), 0);
  ASSERT_EQ(::getsockname(holder.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string busy = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  TestDatabase database;
  database.execute(kSeedSql);
  config.useDatabase(database);
  config.entries["KIVO"]["metrics_listen"] = busy;
  config.entries["KIVO"]["metrics_file"] = dir.file("missing/kivotrapd.prom");
  startDaemon();
  writeTrap("trap-1", ".1.3.6.1.4.1.99.0.1", "0");
  ASSERT_TRUE(waitFor([&] { return config.count("EXEC#RETURN exec 0") == 1; }))
      << readFile(config.systemLog);
  stopDaemon();  // the file fails once more at the stop
  EXPECT_EQ(config.count("ERR#can't serve metrics on " + busy + ": cannot bind to " + busy +
                         ": 98 (Address already in use)"),
            1)
      << readFile(config.systemLog);
  EXPECT_EQ(config.count("ERR#can't write metrics file " + dir.file("missing/kivotrapd.prom") +
                         ": No such file or directory"),
            1);
  EXPECT_EQ(countStartingWith("ERR#"), 2);
}

}  // namespace

}  // namespace kivo
