// The daemon binary with plug-ins and alerting programs that hang, write
// without end or outlive the stop, and with thread_number out of range: real
// child processes, a real database, trap files in a real spool directory.
// Every limit is set small, so no test waits for a default.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "testing/daemonConfig.h"
#include "testing/daemonProcess.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"

namespace kivo {

namespace {

const char* const kTrapOid = ".1.3.6.1.4.1.99.0.1";
const char* const kOtherOid = ".1.3.6.1.4.1.99.0.2";
const char* const kCheckDummy = "/usr/lib/nagios/plugins/check_dummy";

std::string testdata(const std::string& name) {
  return std::string(KIVO_SOURCE_DIR) + "/daemon/testdata/" + name;
}

// The text of the first line of the file, without its line feed.
std::string firstLine(const std::string& path) {
  std::vector<std::string> lines = splitLines(readFile(path));
  return lines.empty() ? std::string() : lines[0];
}

// True once the process whose id the file holds is gone, or only a zombie
// waiting for a parent that is not this test.
bool processGone(const std::string& pidFile) {
  std::string pid = firstLine(pidFile);
  if (pid.empty()) return false;
  std::string stat = readFile("/proc/" + pid + "/stat");
  size_t close = stat.rfind(')');
  return stat.empty() || (close != std::string::npos && stat.compare(close, 3, ") Z") == 0);
}

// The threads of process pid that are named as workers.
int workerThreads(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
  int workers = 0;
  for (const std::string& task : listDirectory(tasks)) {
    workers += readFile(tasks + task + "/comm") == "kivo-worker\n" ? 1 : 0;
  }
  return workers;
}

class WorkerLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The sending device is 127.0.0.1.
    database.execute("INSERT INTO kivo_device(device_id, device_ip_addr) VALUES (1, 2130706433)");
    // Limits that no run of a test meets unless it hangs; each test sets
    // small the one it is about.
    config.entries["KIVO"]["plugin_timeout"] = "60";
    config.entries["KIVO"]["alerting_timeout"] = "60";
    config.entries["KIVO"]["stop_grace"] = "60";
  }

  void addService(const std::string& plugin, const std::string& parameter, int id = 1,
                  const std::string& oid = kTrapOid) {
    const std::string key = std::to_string(id);
    database.execute("INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, "
                     "plugin_trap_oid) VALUES (" + key + ", " + sqlQuoted(plugin) + ", 'trap', " +
                     sqlQuoted(oid) + ");"
                     "INSERT INTO kivo_services(service_id, service_name, service_parameter, "
                     "service_plugin_id, service_device_id) VALUES (" + key + ", 'service " +
                     key + "', " + sqlQuoted(parameter) + ", " + key + ", 1)");
  }

  // An alerting program for service 1 on every error state.
  void addAlerting(const std::string& program, const std::string& parameter) {
    database.execute("INSERT INTO kivo_program(program_id, program_path) VALUES (1, " +
                     sqlQuoted(program) + ");"
                     "INSERT INTO kivo_service_response_program(response_service_id, "
                     "response_program_id, response_unknown, response_warning, "
                     "response_critical, response_parameter) VALUES (1, 1, true, true, true, " +
                     sqlQuoted(parameter) + ")");
  }

  void start(int workers) {
    config.entries["KIVO"]["thread_number"] = std::to_string(workers);
    config.useDatabase(database);
    ASSERT_TRUE(startLoadedDaemon(config, dir.file("console"), daemon))
        << readFile(config.systemLog);
  }

  // SIGTERM; the daemon must end, with status 0, well within limit.
  void stop(std::chrono::seconds limit = std::chrono::seconds(20)) {
    daemon->signal(SIGTERM);
    ASSERT_TRUE(daemon->waitExit(limit)) << "the daemon ends after SIGTERM";
    EXPECT_EQ(daemon->exitStatus(), 0);
  }

  // A complete trap file in the spool whose two variables are first and
  // second; it appears whole, as the spool handler writes it.
  void spoolTrap(const std::string& name, const std::string& first, const std::string& second,
                 const std::string& oid = kTrapOid) {
    writeFile(dir.file(name), "localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n"
                              ".1.3.6.1.6.3.1.1.4.1.0 " + oid + "\n"
                              "date 2026-12-07 10:00:00\n"
                              ".1.3.6.1.4.1.99.1 \"" + first + "\"\n"
                              ".1.3.6.1.4.1.99.2 \"" + second + "\"\n");
    ASSERT_EQ(::rename(dir.file(name).c_str(), (config.spool + name).c_str()), 0);
  }

  int countStartingWith(const std::string& prefix) const {
    int found = 0;
    for (const std::string& line : config.messages()) found += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return found;
  }

  bool waitForRuns(int n) {
    return waitFor([&] { return countStartingWith("EXEC#RETURN exec ") >= n; });
  }

  std::vector<std::string> serviceRow() {
    return database.rows("SELECT service_previous_state, service_last_stdout FROM kivo_services "
                         "WHERE service_id = 1").at(0);
  }

  std::vector<std::vector<std::string>> records() {
    return database.rows("SELECT error_name, happen_message FROM kivo_error_happen "
                         "JOIN kivo_errors ON error_id = happen_error_id ORDER BY happen_id");
  }

  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(WorkerLimitsTest, HungPluginCountsAsUnknownAndTheNextTrapIsHandled) {
  const std::string plugin = testdata("hang_once.sh");
  const std::string hung = dir.file("hung");
  config.entries["KIVO"]["plugin_timeout"] = "1";
  addService(plugin, "$1 \"$2\"");
  addAlerting(testdata("append_arguments.sh"), dir.file("alerts") + " --error $ERROR");
  start(1);
  spoolTrap("trap-1", hung, "first");
  ASSERT_TRUE(waitForRuns(1)) << readFile(config.systemLog);
  EXPECT_EQ(config.count("ERR#plug-in of service service 1 timed out after 1 s: " + plugin + " " +
                         hung + " \"first\""),
            1)
      << readFile(config.systemLog);
  EXPECT_EQ(config.count("EXEC#RETURN exec 3"), 1);
  EXPECT_EQ(serviceRow(), (std::vector<std::string>{"3", "plug-in timed out after 1 s"}));
  EXPECT_TRUE(waitFor([&] { return processGone(hung); })) << "the plug-in was killed";

  // Its mark exists now, so this run reports at once.
  spoolTrap("trap-2", hung, "second");
  ASSERT_TRUE(waitForRuns(2)) << readFile(config.systemLog);
  ASSERT_TRUE(waitFor([&] { return splitLines(readFile(dir.file("alerts"))).size() == 1; }));
  stop();
  EXPECT_EQ(serviceRow(), (std::vector<std::string>{"0", "second\n"}));
  EXPECT_EQ(records(), (std::vector<std::vector<std::string>>{
                           {"default_unknow_error", "plug-in timed out after 1 s"}}));
  EXPECT_EQ(splitLines(readFile(dir.file("alerts"))), (std::vector<std::string>{"--error 1"}));
}

TEST_F(WorkerLimitsTest, HungAlertingProgramIsKilledWithAnErrLine) {
  config.entries["KIVO"]["alerting_timeout"] = "1";
  addService(kCheckDummy, "$1 \"$2\"");
  addAlerting("/bin/sh", "-c \"sleep 30\" $ERROR");
  start(1);
  spoolTrap("trap-1", "2", "disk full");
  ASSERT_TRUE(waitFor([&] {
    return config.count("ERR#alerting program of service service 1 timed out after 1 s: /bin/sh") ==
           1;
  })) << readFile(config.systemLog);
  spoolTrap("trap-2", "0", "fine again");
  ASSERT_TRUE(waitForRuns(2)) << readFile(config.systemLog);
  stop();
  EXPECT_EQ(serviceRow(), (std::vector<std::string>{"0", "OK: fine again\n"}));
  EXPECT_EQ(records().size(), 1u);
}

TEST_F(WorkerLimitsTest, HundredMegabytesOfOutputAreCapped) {
  config.entries["KIVO"]["plugin_output_max"] = "1000";
  addService(testdata("print_bytes.sh"), "$1 $2");
  start(1);
  spoolTrap("trap-1", "100000000", "2");
  ASSERT_TRUE(waitForRuns(1)) << readFile(config.systemLog).substr(0, 4000);
  stop();
  const std::string kept(1000, 'x');
  EXPECT_EQ(serviceRow(), (std::vector<std::string>{"2", kept}));
  EXPECT_EQ(records(), (std::vector<std::vector<std::string>>{{"default_critical_error", kept}}));
  EXPECT_LT(readFile(config.systemLog).size(), 100000u) << "the log holds the capped text only";
}

TEST_F(WorkerLimitsTest, ThreadNumberOutOfRange) {
  addService(kCheckDummy, "$1 \"$2\"");
  struct Case {
    int setting;
    std::string line;
    bool handles;
  } cases[] = {
      {-1, "ERR#thread_number -1: no worker thread starts, no trap will be handled", false},
      {100000, "ERR#thread_number 100000 is above 256: 256 worker threads start", true},
  };
  for (const Case& c : cases) {
    // What the case before left in the spool.
    for (const std::string& name : listDirectory(config.spool)) {
      ::unlink((config.spool + name).c_str());
    }
    start(c.setting);
    // Written just after the services are loaded.
    EXPECT_TRUE(waitFor([&] { return config.count(c.line) == 1; })) << c.setting;
    spoolTrap("trap", "0", "fine");
    if (c.handles) {
      EXPECT_TRUE(waitForRuns(1)) << c.setting;
      // The file goes once its trap is done.
      EXPECT_TRUE(waitFor([&] { return listDirectory(config.spool).empty(); })) << c.setting;
    }
    const int expected = c.handles ? 256 : 0;
    int workers = 0;
    EXPECT_TRUE(waitFor([&] { return (workers = workerThreads(daemon->pid())) == expected; }))
        << c.setting << ": " << workers << " workers";
    stop();
    EXPECT_EQ(countStartingWith("EXEC#"), c.handles ? 2 : 0) << c.setting;
    EXPECT_EQ(listDirectory(config.spool).size(), c.handles ? 0u : 1u)
        << c.setting << ": a trap not handled stays in the spool";
  }
}

// Several workers at the stop; these also run with the daemon built under
// ThreadSanitizer.
using WorkerLimitsThreadTest = WorkerLimitsTest;

TEST_F(WorkerLimitsThreadTest, StopKillsHungPluginsAndTheirTrapsWaitForTheNextStart) {
  config.entries["KIVO"]["plugin_timeout"] = "0";
  config.entries["KIVO"]["stop_grace"] = "1";
  const std::string plugin = testdata("hang_once.sh");
  // Two services: the traps of one service run one at a time.
  addService(plugin, "$1 \"$2\"");
  addService(plugin, "$1 \"$2\"", 2, kOtherOid);
  start(2);
  const std::vector<std::string> marks = {dir.file("mark-a"), dir.file("mark-b")};
  spoolTrap("trap-a", marks[0], "a");
  spoolTrap("trap-b", marks[1], "b", kOtherOid);
  ASSERT_TRUE(waitFor([&] { return fileExists(marks[0]) && fileExists(marks[1]); }))
      << "both plug-ins hang, one per worker";
  stop();
  for (size_t i = 0; i < marks.size(); ++i) {
    const std::string& mark = marks[i];
    EXPECT_EQ(config.count("ERR#plug-in of service service " + std::to_string(i + 1) +
                           " cut short by the stop: " + plugin + " " + mark + " \"" +
                           mark.substr(mark.size() - 1) + "\""),
              1)
        << readFile(config.systemLog);
    EXPECT_TRUE(waitFor([&] { return processGone(mark); })) << mark;
  }
  EXPECT_EQ(countStartingWith("EXEC#RETURN"), 0);
  EXPECT_EQ(serviceRow(), (std::vector<std::string>{"<NULL>", "<NULL>"})) << "nothing stored";
  EXPECT_TRUE(records().empty());
  EXPECT_EQ(listDirectory(config.spool), (std::vector<std::string>{"trap-a", "trap-b"}))
      << "both traps stay in the spool";

  // Their marks exist now, so the next start handles both at once.
  start(2);
  ASSERT_TRUE(waitFor([&] { return listDirectory(config.spool).empty(); }))
      << readFile(config.systemLog);
  stop();
  EXPECT_EQ(config.count("EXEC#RETURN exec 0"), 2);
  EXPECT_TRUE(records().empty());
}

}  // namespace

}  // namespace kivo
