// The binary's commands beside the daemon: --check on good and broken
// set-ups, --replay of spool files, and the exit statuses of both.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "testing/daemonHarness.h"

namespace kivo {

namespace {

const char* const kOid = ".1.3.6.1.4.1.99.0.1";
const char* const kOtherOid = ".1.3.6.1.4.1.99.0.2";
const char* const kDevice = "192.0.2.7";

bool hasLine(const std::string& output, const std::string& line) {
  for (const std::string& each : splitLines(output)) {
    if (each == line) return true;
  }
  return false;
}

// The lines that start with prefix.
std::vector<std::string> linesStarting(const std::string& output, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : splitLines(output)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

// The user the commands run as: an unprivileged one, so that file modes
// count (root may write anything).
uid_t commandUser(const TempDir& dir) {
  struct passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
  if (nobody == nullptr) return 0;
  ::chmod(dir.path().c_str(), 0777);
  return nobody->pw_uid;
}

// Nothing that the daemon writes was written.
void expectNoDaemonFiles(const DaemonHarness& harness, const std::string& name) {
  EXPECT_FALSE(fileExists(harness.config.systemLog)) << name;
  EXPECT_FALSE(fileExists(harness.config.trapLog)) << name;
  EXPECT_FALSE(fileExists(harness.config.priorityFile)) << name;
}

TEST(SettingsCheckCommandTest, FindingsAndExitStatus) {
  const std::string plugin = DaemonHarness::testdata("echo_arguments.sh");
  const std::string alerting = DaemonHarness::testdata("append_arguments.sh");
  struct Case {
    const char* name;
    std::function<void(DaemonHarness&)> setUp;
    int status;
    // The line naming the problem, or the summary of a good set-up.
    std::function<std::string(DaemonHarness&)> line;
  } cases[] = {
      {"good set-up", [](DaemonHarness&) {}, 0,
       [](DaemonHarness&) {
         return "kivoTrapD --check: 2 services on 1 device, 0 warnings, 0 errors";
       }},
      {"missing plug-in",
       [](DaemonHarness& h) { h.addService(3, 1, ".1.3.6.1.4.1.99.0.3", h.dir.file("gone"), ""); },
       1,
       [](DaemonHarness& h) {
         return "error: service 3 (service 3) of device 1: plug-in " + h.dir.file("gone") +
                ": No such file or directory";
       }},
      {"alerting program not executable",
       [](DaemonHarness& h) {
         writeFile(h.dir.file("alert"), "#!/bin/sh\n");
         ::chmod(h.dir.file("alert").c_str(), 0644);
         h.addAlerting(2, h.dir.file("alert"), "$ERROR", true, true, true);
       },
       1,
       [](DaemonHarness& h) {
         return "error: service 2 (service 2) of device 1: alerting program " +
                h.dir.file("alert") + ": not executable for this user";
       }},
      {"duplicate OID",
       [&](DaemonHarness& h) { h.addService(3, 1, kOid, plugin, ""); }, 0,
       [](DaemonHarness&) {
         return "warning: service 1 (service 1) and service 3 (service 3) on 192.0.2.7 both "
                "answer OID .1.3.6.1.4.1.99.0.1: 3 never runs";
       }},
      {"unwritable spool", [](DaemonHarness& h) { ::chmod(h.config.spool.c_str(), 0555); }, 1,
       [](DaemonHarness& h) {
         return "error: [KIVO] spool_directory " + h.config.spool +
                ": this user may not write in it";
       }},
      {"unreachable database",
       [](DaemonHarness& h) {
         h.config.entries["POSTGRESQL"]["PGSQL_host"] = h.dir.file("nowhere");
         h.config.entries["POSTGRESQL"]["PGSQL_pwd"] = "s3cret";
       },
       1,
       [](DaemonHarness& h) {
         return "error: database: connection to server on socket \"" + h.dir.file("nowhere") +
                "/.s.PGSQL." + TestDatabase::port() +
                "\" failed: No such file or directory Is the server running locally and "
                "accepting connections on that socket? host=" + h.dir.file("nowhere") +
                " port=" + TestDatabase::port() + " dbname=" + h.database.name() +
                " user=postgres password=********";
       }},
  };
  for (const Case& c : cases) {
    DaemonHarness harness;
    uid_t user = commandUser(harness.dir);
    ::chmod(harness.config.spool.c_str(), 0777);
    harness.config.entries["KIVO"]["thread_number"] = "2";
    harness.addDevice(1, kDevice);
    harness.addService(1, 1, kOid, plugin, "$1");
    harness.addService(2, 1, kOtherOid, plugin, "$2");
    harness.addAlerting(1, alerting, "$ERROR", true, true, true);
    harness.spool("trap-1", DaemonHarness::trapText(kDevice, kOid, {}));
    c.setUp(harness);
    std::string output;
    EXPECT_EQ(harness.runCommand({"--check"}, &output, user), c.status) << c.name << "\n" << output;
    EXPECT_TRUE(hasLine(output, c.line(harness))) << c.name << "\n" << output;
    EXPECT_EQ(linesStarting(output, "kivoTrapD --check: ").size(), 1u) << c.name;
    EXPECT_EQ(output.find("s3cret"), std::string::npos) << c.name;
    EXPECT_EQ(harness.spoolFiles(), std::vector<std::string>{"trap-1"}) << c.name;
    expectNoDaemonFiles(harness, c.name);
  }
}

class ReplayCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.addDevice(1, kDevice);
    // Service 1 shows the arguments; service 2 reports critical, which in
    // the daemon would open an error record and run its alerting program.
    harness.addService(1, 1, kOid, DaemonHarness::testdata("echo_arguments.sh"),
                       "-m 'a b' $1 \"$2\" $*");
    harness.addService(2, 1, kOtherOid, DaemonHarness::testdata("record_and_exit.sh"),
                       record + " 2 \"$2\"");
    harness.addAlerting(2, DaemonHarness::testdata("append_arguments.sh"), alerts + " $ERROR",
                        true, true, true);
  }

  std::string rows() {
    std::string text;
    for (const auto& row : harness.database.rows(
             "SELECT service_id, service_previous_state, service_last_stdout FROM kivo_services"
             " ORDER BY service_id")) {
      for (const std::string& value : row) text += value + " ";
    }
    return text + harness.database.value("SELECT count(*) FROM kivo_error_happen");
  }

  DaemonHarness harness;
  std::string record = harness.dir.file("record");
  std::string alerts = harness.dir.file("alerts");
  const TrapVariables variables = {{".1.3.6.1.4.1.99.1", "2"},
                                   {".1.3.6.1.4.1.99.2", "\"disk full\""}};
};

TEST_F(ReplayCommandTest, MatchedTrapShowsItsArgumentsAndChangesNothing) {
  const std::string text = DaemonHarness::trapText(kDevice, kOid, variables);
  harness.spool("trap-1", text);
  const std::string file = harness.config.spool + "trap-1";
  const std::string before = rows();
  std::string output;
  ASSERT_EQ(harness.runCommand({"--replay", file}, &output), 0) << output;
  const std::string echo = DaemonHarness::testdata("echo_arguments.sh");
  EXPECT_EQ(output, "trap file " + file + "\n"
                    "host: <host>\n"
                    "address: <192.0.2.7>\n"
                    "OID: <.1.3.6.1.4.1.99.0.1>\n"
                    "$1: .1.3.6.1.4.1.99.1 = <2>\n"
                    "$2: .1.3.6.1.4.1.99.2 = <disk full>\n"
                    "service: 1 (service 1) of device 1\n"
                    "command: " + echo + " -m 'a b' 2 \"disk full\" .1.3.6.1.4.1.99.1:2 "
                    ".1.3.6.1.4.1.99.2:disk full \n"
                    "argv[0] = <" + echo + ">\n"
                    "argv[1] = <-m>\n"
                    "argv[2] = <a b>\n"
                    "argv[3] = <2>\n"
                    "argv[4] = <disk full>\n"
                    "argv[5] = <.1.3.6.1.4.1.99.1:2>\n"
                    "argv[6] = <.1.3.6.1.4.1.99.2:disk>\n"
                    "argv[7] = <full>\n");

  harness.spool("trap-2", DaemonHarness::trapText(kDevice, kOtherOid, variables));
  ASSERT_EQ(harness.runCommand({"--run", "--replay", harness.config.spool + "trap-2"}, &output), 0)
      << output;
  std::vector<std::string> lines = splitLines(output);
  ASSERT_GE(lines.size(), 2u) << output;
  EXPECT_EQ(lines[lines.size() - 2], "exit code: 2");
  EXPECT_EQ(lines.back(), "output = <disk full\\n>");
  EXPECT_EQ(readFile(record), "2 disk full\n") << "the plug-in ran once";

  EXPECT_EQ(readFile(file), text);
  EXPECT_EQ(harness.spoolFiles(), (std::vector<std::string>{"trap-1", "trap-2"}));
  EXPECT_EQ(rows(), before) << "no state, no error record";
  EXPECT_FALSE(fileExists(alerts)) << "no alerting program";
  expectNoDaemonFiles(harness, "replay");
}

TEST_F(ReplayCommandTest, ExitStatusTellsTheOutcome) {
  harness.spool("other-oid", DaemonHarness::trapText(kDevice, ".1.3.6.1.4.1.99.0.9", variables));
  harness.spool("other-host", DaemonHarness::trapText("192.0.2.8", kOid, variables));
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string line;
  } cases[] = {
      {{"--replay", harness.config.spool + "other-oid"}, 1,
       "service: none: no service of 192.0.2.7 has the OID .1.3.6.1.4.1.99.0.9"},
      {{"--replay", harness.config.spool + "other-host", "--run"}, 1,
       "service: none: no device has the address 192.0.2.8"},
      {{"--replay", harness.config.spool + "missing"}, 2,
       "error: " + harness.config.spool + "missing is not read as a trap: No such file or "
       "directory"},
      {{"--replay", harness.config.spool}, 2,
       "error: " + harness.config.spool + " is not read as a trap: is a directory"},
      {{"--replay"}, 2, "kivoTrapD: --replay needs a file"},
      {{"--verbose"}, 2, "kivoTrapD: unknown option --verbose"},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(harness.runCommand(c.arguments, &output), c.status) << c.line << "\n" << output;
    EXPECT_TRUE(hasLine(output, c.line)) << output;
  }
  EXPECT_EQ(harness.spoolFiles(), (std::vector<std::string>{"other-host", "other-oid"}));
}

}  // namespace

}  // namespace kivo
