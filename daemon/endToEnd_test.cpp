// The whole chain as it runs on a machine: snmptrap sends to a real
// snmptrapd on loopback, its spool handler writes the spool, the daemon
// binary takes the traps, runs real plug-ins and alerting programs, and
// writes the logs and a real database.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

#include "testing/daemonConfig.h"
#include "testing/daemonProcess.h"
#include "testing/snmpTrapReceiver.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"

namespace kivo {

namespace {

const char* const kCheckDummy = "/usr/lib/nagios/plugins/check_dummy";
const char* const kTrapOid = ".1.3.6.1.4.1.99.0.1";
const char* const kOtherOid = ".1.3.6.1.4.1.99.0.2";
const char* const kStateOid = ".1.3.6.1.4.1.99.1";
const char* const kTextOid = ".1.3.6.1.4.1.99.2";
// The address of the test's sending device, 127.0.0.1, as the database
// keeps it.
const char* const kLoopbackNumber = "2130706433";
const char* const kReturnPrefix = "EXEC#RETURN exec ";

std::string testdata(const std::string& name) {
  return std::string(KIVO_SOURCE_DIR) + "/daemon/testdata/" + name;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database.execute(std::string("INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (1, ") +
                     kLoopbackNumber + ")");
  }

  // A trap service of the sending device, with a plug-in of its own.
  void addService(int id, const std::string& plugin, const std::string& oid,
                  const std::string& parameter) {
    const std::string key = std::to_string(id);
    database.execute("INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, "
                     "plugin_trap_oid) VALUES (" + key + ", " + sqlQuoted(plugin) + ", 'trap', " +
                     sqlQuoted(oid) + ");"
                     "INSERT INTO kivo_services(service_id, service_name, service_parameter, "
                     "service_plugin_id, service_device_id) VALUES (" + key + ", " +
                     sqlQuoted("service " + key) + ", " + sqlQuoted(parameter) + ", " + key + ", 1)");
  }

  // The test alerting program for a service: it appends its arguments to
  // alertFile, after the record file given as its first parameter.
  void addAlerting(int serviceId, bool unknown, bool warning, bool critical) {
    const std::string key = std::to_string(serviceId);
    auto flag = [](bool on) { return on ? std::string("true") : std::string("false"); };
    database.execute("INSERT INTO kivo_program(program_id, program_path) VALUES (" + key + ", " +
                     sqlQuoted(testdata("append_arguments.sh")) + ");"
                     "INSERT INTO kivo_service_response_program(response_service_id, "
                     "response_program_id, response_unknown, response_warning, "
                     "response_critical, response_parameter) VALUES (" + key + ", " + key + ", " +
                     flag(unknown) + ", " + flag(warning) + ", " + flag(critical) + ", " +
                     sqlQuoted(alertFile + " service " + key + " --error $ERROR") + ")");
  }

  void startDaemon(int workers) {
    config.entries["KIVO"]["thread_number"] = std::to_string(workers);
    config.useDatabase(database);
    ASSERT_TRUE(startLoadedDaemon(config, dir.file("console"), daemon))
        << readFile(config.systemLog);
  }

  // SIGTERM; the daemon must end with status 0.
  void stopDaemon() {
    daemon->signal(SIGTERM);
    ASSERT_TRUE(daemon->waitExit()) << "the daemon ends after SIGTERM";
    EXPECT_EQ(daemon->exitStatus(), 0);
  }

  void send(const std::string& oid, const std::vector<std::string>& variables) {
    ASSERT_EQ(sendTrap(receiver.address(), oid, variables), 0) << "snmptrap " << oid;
  }

  // A trap whose first variable is the state for check_dummy.
  void sendState(const std::string& oid, int state, const std::string& text) {
    send(oid, {kStateOid, "i", std::to_string(state), kTextOid, "s", text});
  }

  int countStartingWith(const std::string& prefix) const {
    int found = 0;
    for (const std::string& line : config.messages()) found += startsWith(line, prefix) ? 1 : 0;
    return found;
  }

  // Waits until n plug-in runs have ended and been reported.
  bool waitForRuns(int n) {
    return waitFor([&] { return countStartingWith(kReturnPrefix) >= n; });
  }

  bool waitForLines(const std::string& path, size_t n) {
    return waitFor([&] { return splitLines(readFile(path)).size() >= n; });
  }

  std::vector<std::vector<std::string>> records() {
    return database.rows(
        "SELECT happen_service_id, error_name, happen_acquitte, happen_message "
        "FROM kivo_error_happen JOIN kivo_errors ON error_id = happen_error_id "
        "ORDER BY happen_id");
  }

  std::vector<std::string> serviceRow(int id) {
    return database.rows("SELECT service_previous_state, service_last_stdout, "
                         "service_last_exec_time IS NOT NULL FROM kivo_services "
                         "WHERE service_id = " + std::to_string(id))
        .at(0);
  }

  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  SnmpTrapReceiver receiver{dir, config.spool};
  std::string alertFile = dir.file("alerts");
  std::string recordFile = dir.file("records");
  std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(EndToEndTest, TemplatesAreFilledFromTheTrap) {
  const std::string echo = testdata("echo_arguments.sh");
  struct Case {
    int service;
    std::string parameter;
    std::string commandLine;  // after the plug-in's path
    std::string output;
  };
  const std::vector<Case> cases = {
      {17, "-H $IP -n $r -s $SERID -v $1 -i $2", "-H 127.0.0.1 -n localhost -s 17 -v up -i eth0",
       "[-H][127.0.0.1][-n][localhost][-s][17][-v][up][-i][eth0]\n"},
      {18, "-x $+2", "-x .1.3.6.1.4.1.99.2:eth0", "[-x][.1.3.6.1.4.1.99.2:eth0]\n"},
      {19, "-a $*", "-a .1.3.6.1.4.1.99.1:up .1.3.6.1.4.1.99.2:eth0 ",
       "[-a][.1.3.6.1.4.1.99.1:up][.1.3.6.1.4.1.99.2:eth0]\n"},
      {20, "-v $12", "-v up2", "[-v][up2]\n"},
      {21, "-v $3", "-v $3", "[-v][$3]\n"},
      {22, "-m \"$2 $1\" plain", "-m \"eth0 up\" plain", "[-m][eth0 up][plain]\n"},
  };
  for (const Case& c : cases) {
    addService(c.service, echo, ".1.3.6.1.4.1.99.0." + std::to_string(c.service), c.parameter);
  }
  startDaemon(1);
  for (const Case& c : cases) {
    send(".1.3.6.1.4.1.99.0." + std::to_string(c.service),
         {kStateOid, "s", "up", kTextOid, "s", "eth0"});
  }
  ASSERT_TRUE(waitForRuns(static_cast<int>(cases.size()))) << readFile(config.systemLog);
  stopDaemon();

  for (const Case& c : cases) {
    EXPECT_EQ(config.count("EXEC#" + echo + " " + c.commandLine), 1) << c.parameter;
    EXPECT_EQ(serviceRow(c.service), (std::vector<std::string>{"0", c.output, "t"})) << c.parameter;
  }
  EXPECT_EQ(config.count("REP#.1.3.6.1.4.1.99.2:eth0"), 1);
  EXPECT_EQ(config.count("Variable no found:No entries value for variable number: "
                         "#3#service 21#-v $3"),
            1);
  EXPECT_EQ(config.count("EXEC#RETURN exec 0"), static_cast<int>(cases.size()));
  EXPECT_TRUE(records().empty()) << "OK runs open no error record";
}

TEST_F(EndToEndTest, TrapWithoutServiceIsLoggedAndRunsNothing) {
  addService(1, kCheckDummy, kTrapOid, "$1 \"$2\"");
  startDaemon(1);
  send(kOtherOid, {kTextOid, "s", "fan stopped"});
  ASSERT_TRUE(waitFor([&] { return countStartingWith("INFO#there isn't") == 1; }));
  stopDaemon();

  EXPECT_EQ(config.count("INFO#there isn't passive service for OID.1.3.6.1.4.1.99.0.2 on this host "
                  "localhost(127.0.0.1)"),
            1);
  EXPECT_EQ(countStartingWith("EXEC#"), 0);
  std::vector<std::string> trapLog = splitLines(readFile(config.trapLog));
  ASSERT_EQ(trapLog.size(), 1u) << "logged whether matched or not";
  EXPECT_TRUE(std::regex_match(trapLog[0],
                               std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}#"
                                          "\\.1\\.3\\.6\\.1\\.4\\.1\\.99\\.0\\.2#localhost#"
                                          "127\\.0\\.0\\.1#\\.1\\.3\\.6\\.1\\.4\\.1\\.99\\.2:"
                                          "fan stopped#")))
      << trapLog[0];
  EXPECT_EQ(serviceRow(1), (std::vector<std::string>{"<NULL>", "<NULL>", "f"}));
}

TEST_F(EndToEndTest, ErrorRunsOpenRecordsAndAlertWithTheirOwnIds) {
  // Service 1 alerts on every error state, service 2 on none.
  addService(1, kCheckDummy, kTrapOid, "$1 \"$2\"");
  addAlerting(1, true, true, true);
  addService(2, kCheckDummy, kOtherOid, "$1 \"$2\"");
  addAlerting(2, false, false, false);
  startDaemon(1);
  const std::vector<std::pair<const char*, int>> traps = {
      {kTrapOid, 1},  {kOtherOid, 1}, {kTrapOid, 2}, {kOtherOid, 2}, {kTrapOid, 2},
      {kTrapOid, 0},  {kOtherOid, 3}, {kTrapOid, 3}, {kTrapOid, 0},
  };
  int sent = 0;
  for (const auto& trap : traps) {
    sendState(trap.first, trap.second, "state " + std::to_string(++sent));
    // One at a time, so that the record ids follow the sending order.
    ASSERT_TRUE(waitForRuns(sent)) << readFile(config.systemLog);
  }
  ASSERT_TRUE(waitForLines(alertFile, 3)) << readFile(config.systemLog);
  stopDaemon();

  // Each run compares with its service's own last state: a change of error
  // state acknowledges the record before it, a repeat opens nothing, and a
  // return to OK acknowledges the open record.
  const std::vector<std::vector<std::string>> expected = {
      {"1", "default_warning_error", "1", "WARNING: state 1\n"},
      {"2", "default_warning_error", "1", "WARNING: state 2\n"},
      {"1", "default_critical_error", "1", "CRITICAL: state 3\n"},
      {"2", "default_critical_error", "1", "CRITICAL: state 4\n"},
      {"2", "default_unknow_error", "0", "UNKNOWN: state 7\n"},
      {"1", "default_unknow_error", "1", "UNKNOWN: state 8\n"},
  };
  EXPECT_EQ(records(), expected);
  EXPECT_EQ(splitLines(readFile(alertFile)),
            (std::vector<std::string>{"service 1 --error 1", "service 1 --error 3",
                                      "service 1 --error 6"}));
  EXPECT_EQ(config.count("INFO#Execute alerting software"), 2);
  EXPECT_EQ(config.count("INFO#Execute alerting software "), 1) << "the unknown state's line";
  EXPECT_EQ(serviceRow(1), (std::vector<std::string>{"0", "OK: state 9\n", "t"}));
  EXPECT_EQ(serviceRow(2), (std::vector<std::string>{"3", "UNKNOWN: state 7\n", "t"}));
}

TEST_F(EndToEndTest, AcceptedAndOutOfRangeCodes) {
  addService(1, "/bin/sh", kTrapOid, "-c \"echo ran $1; exit $1\"");
  addAlerting(1, true, true, true);
  startDaemon(1);
  send(kTrapOid, {kStateOid, "i", "7"});
  ASSERT_TRUE(waitFor([&] { return countStartingWith("ERR#") == 1; }))
      << readFile(config.systemLog);
  // The whole message of a failed run spans two lines.
  std::vector<std::string> lines = config.messages();
  auto error = std::find(lines.begin(), lines.end(),
                         "ERR#ServiceException .1.3.6.1.4.1.99.0.1 127.0.0.1"
                         "Error execute service 1");
  ASSERT_NE(error, lines.end()) << readFile(config.systemLog);
  ASSERT_NE(error + 1, lines.end());
  EXPECT_EQ(*(error + 1), "path:/bin/sh -c \"echo ran 7; exit 7\"ran 7");
  EXPECT_EQ(serviceRow(1), (std::vector<std::string>{"<NULL>", "<NULL>", "f"}))
      << "a failed run stores nothing";

  send(kTrapOid, {kStateOid, "i", "4"});
  ASSERT_TRUE(waitForRuns(1)) << readFile(config.systemLog);
  stopDaemon();
  EXPECT_EQ(config.count("EXEC#RETURN exec 4"), 1);
  EXPECT_EQ(serviceRow(1), (std::vector<std::string>{"4", "ran 4\n", "t"}));
  EXPECT_TRUE(records().empty());
  EXPECT_EQ(countStartingWith("INFO#Execute alerting software"), 0);
  EXPECT_FALSE(fileExists(alertFile));
}

TEST_F(EndToEndTest, TrapLogIsWrittenOnlyWhenEnabledWithOne) {
  addService(1, kCheckDummy, kTrapOid, "$1 \"$2\"");
  for (const char* setting : {"2", "1"}) {
    config.entries["LOG"]["log_enable"] = setting;
    startDaemon(1);
    sendState(kTrapOid, 0, "fine");
    ASSERT_TRUE(waitForRuns(1)) << setting;
    stopDaemon();
    EXPECT_EQ(splitLines(readFile(config.trapLog)).size(), std::string(setting) == "1" ? 1u : 0u)
        << "log_enable=" << setting;
  }
}

TEST_F(EndToEndTest, FailedStateUpdateStillJournalsTheTrap) {
  database.execute(
      "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
      "$$ BEGIN RAISE EXCEPTION 'service rows are read-only'; END $$;"
      "CREATE TRIGGER refuse BEFORE UPDATE ON kivo_services"
      " FOR EACH ROW EXECUTE FUNCTION refuse();");
  addService(1, kCheckDummy, kTrapOid, "$1 \"$2\"");
  addAlerting(1, false, false, true);
  startDaemon(1);
  sendState(kTrapOid, 2, "power lost");
  ASSERT_TRUE(waitForLines(alertFile, 1)) << readFile(config.systemLog);
  sendState(kTrapOid, 0, "power back");
  sendState(kTrapOid, 2, "lost again");
  ASSERT_TRUE(waitForLines(alertFile, 2)) << "the worker lives on";
  stopDaemon();

  EXPECT_EQ(countStartingWith("ERR#UpdateState failed for service 1: "
                              "Exec prepareRequest failed:  "),
            1)
      << "the same failure again is counted: " << readFile(config.systemLog);
  EXPECT_EQ(records().size(), 2u);
  EXPECT_EQ(splitLines(readFile(alertFile)),
            (std::vector<std::string>{"service 1 --error 1", "service 1 --error 2"}));
}

// Several workers at once: these also run with the daemon built under
// ThreadSanitizer, which ends it at the first data race it sees.
using EndToEndThreadTest = EndToEndTest;

TEST_F(EndToEndThreadTest, BurstWithFourWorkersHandlesEveryTrapOnce) {
  const int kTraps = 100;
  addService(1, testdata("append_arguments.sh"), kTrapOid, recordFile + " $1");
  startDaemon(4);
  for (int i = 0; i < kTraps; ++i) send(kTrapOid, {kStateOid, "i", std::to_string(i)});
  ASSERT_TRUE(waitForRuns(kTraps)) << readFile(config.systemLog);
  stopDaemon();

  std::vector<std::string> handled = splitLines(readFile(recordFile));
  std::multiset<int> numbers;
  for (const std::string& line : handled) numbers.insert(std::stoi(line));
  std::multiset<int> logged;
  const std::regex trapLine("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}#"
                            "\\.1\\.3\\.6\\.1\\.4\\.1\\.99\\.0\\.1#"
                            "localhost#127\\.0\\.0\\.1#"
                            "\\.1\\.3\\.6\\.1\\.4\\.1\\.99\\.1:([0-9]+)#");
  for (const std::string& line : splitLines(readFile(config.trapLog))) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, trapLine)) << "a whole trap log line: " << line;
    logged.insert(std::stoi(match[1].str()));
  }
  std::multiset<int> all;
  for (int i = 0; i < kTraps; ++i) all.insert(i);
  EXPECT_EQ(numbers, all) << "every trap's plug-in ran once";
  EXPECT_EQ(logged, all) << "every trap logged once";
  EXPECT_EQ(config.count("EXEC#RETURN exec 0"), kTraps);
  EXPECT_EQ(serviceRow(1)[0], "0");
}

TEST_F(EndToEndThreadTest, StopDuringABurstLosesNoTrap) {
  const int kTraps = 40;
  addService(1, testdata("slow_record.sh"), kTrapOid, recordFile + " $1");
  startDaemon(2);
  for (int i = 0; i < kTraps; ++i) send(kTrapOid, {kStateOid, "i", std::to_string(i)});
  ASSERT_TRUE(waitForLines(recordFile, 4));
  stopDaemon();

  // Traps still on their way through the receiver land in the spool too.
  auto handledOrSpooled = [&] {
    return splitLines(readFile(recordFile)).size() + listDirectory(config.spool).size();
  };
  ASSERT_TRUE(waitFor([&] { return handledOrSpooled() >= kTraps; }));
  const size_t handledBefore = splitLines(readFile(recordFile)).size();
  EXPECT_LT(handledBefore, static_cast<size_t>(kTraps)) << "the stop came during the burst";

  startDaemon(2);
  ASSERT_TRUE(waitForLines(recordFile, kTraps)) << readFile(config.systemLog);
  stopDaemon();
  std::multiset<int> numbers;
  for (const std::string& line : splitLines(readFile(recordFile))) numbers.insert(std::stoi(line));
  std::multiset<int> all;
  for (int i = 0; i < kTraps; ++i) all.insert(i);
  EXPECT_EQ(numbers, all) << "each trap handled exactly once over the two runs";
  EXPECT_TRUE(listDirectory(config.spool).empty());
}

TEST_F(EndToEndTest, ReceiverFormatsBeyondTheLineRulesDoNotStopTheDaemon) {
  TempDir otherDir;
  SnmpTrapReceiver both{otherDir, config.spool, true};
  addService(1, testdata("echo_arguments.sh"), kTrapOid, "$*");
  startDaemon(1);
  const std::string unmatched =
      "INFO#there isn't passive service for OID.1.3.6.1.4.1.99.0.1 on this host ";
  // One trap at a time: two receivers give no order between their files.
  ASSERT_EQ(sendTrap(both.address(), kTrapOid,
                     {kTextOid, "s", "line1\nline2", ".1.3.6.1.4.1.99.3", "x", "00FF10"}),
            0);
  ASSERT_TRUE(waitForRuns(1)) << readFile(config.systemLog);
  ASSERT_EQ(sendTrap(both.address6(), kTrapOid, {kTextOid, "s", "over IPv6"}), 0);
  ASSERT_TRUE(waitFor([&] { return countStartingWith(unmatched) == 1; }))
      << readFile(config.systemLog);
  sendState(kTrapOid, 0, "afterwards");
  ASSERT_TRUE(waitForRuns(2)) << readFile(config.systemLog);
  stopDaemon();

  std::vector<std::string> lines = config.messages();
  auto line = std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return startsWith(l, unmatched); });
  ASSERT_NE(line, lines.end()) << "no device of the test has the IPv6 address";
  EXPECT_EQ(line->substr(line->size() - 5), "(::1)") << *line;

  // The line feed cuts the string; its second line reads as a variable.
  EXPECT_EQ(serviceRow(1)[1], "[.1.3.6.1.4.1.99.1:0][.1.3.6.1.4.1.99.2:afterwards]\n");
  EXPECT_EQ(config.count("EXEC#" + testdata("echo_arguments.sh") +
                  " .1.3.6.1.4.1.99.2:line1 line2\": .1.3.6.1.4.1.99.3:00 FF 10  "),
            1)
      << readFile(config.systemLog);
  EXPECT_EQ(countStartingWith("ERR#"), 0);
  EXPECT_EQ(splitLines(readFile(config.trapLog)).size(), 3u);
}

}  // namespace

}  // namespace kivo
