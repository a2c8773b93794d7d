// The binary's commands beside the daemon: --check, --replay and --unknown, their exit
// statuses, and that they leave the spool, the database and the daemon's
// files as they were. What they print is shown by the units behind them.
#include <gtest/gtest.h>

#include <functional>

#include "testing/daemonHarness.h"

namespace kivo {

namespace {

const std::string kOid = DaemonHarness::oid(1), kOtherOid = DaemonHarness::oid(2);
const char* const kDevice = "192.0.2.7";

TEST(CommandsTest, ExitStatusesAndNothingChanged) {
  DaemonHarness h;
  const std::string record = h.dir.file("record"), alerts = h.dir.file("alerts");
  const std::string spool = h.config.spool, nowhere = h.dir.file("no");
  const TrapVariables variables = {{".1.3.6.1.4.1.99.1", "2"},
                                   {".1.3.6.1.4.1.99.2", "\"disk full\""}};
  h.config.entries["KIVO"]["thread_number"] = "2";
  h.addDevice(1, kDevice);
  // Service 2 reports critical, which in the daemon would open an error
  // record and run its alerting program.
  h.addService(1, 1, kOid, DaemonHarness::testdata("echo_arguments.sh"), "-m 'a b' $1 \"$2\"");
  h.addService(2, 1, kOtherOid, DaemonHarness::testdata("record_and_exit.sh"),
               record + " 2 \"$2\"");
  h.addAlerting(2, DaemonHarness::testdata("append_arguments.sh"), alerts + " $ERROR");
  h.spool("trap-1", DaemonHarness::trapText(kDevice, kOid, variables));
  h.spool("trap-2", DaemonHarness::trapText(kDevice, kOtherOid, variables));
  h.spool("other-host", DaemonHarness::trapText("192.0.2.8", kOid, variables));
  const std::vector<std::string> spooled = h.spoolFiles();
  // In this order; a case's set-up stays for the cases after it.
  struct Case {
    const char* name;
    std::function<void()> setUp;
    std::vector<std::string> arguments;
    int status;
    std::string text;  // in the output
  } cases[] = {
      {"good set-up", nullptr, {"--check"}, 0,
       "kivoTrapD --check: 2 services on 1 device, 0 warnings, 0 errors"},
      {"replay", nullptr, {"--replay", spool + "trap-1"}, 0, "argv[2] = <a b>"},
      {"replay and run", nullptr, {"--run", "--replay", spool + "trap-2"}, 0, "exit code: 2"},
      {"no device", nullptr, {"--replay", spool + "other-host", "--run"}, 1, "service: none: "},
      {"no file", nullptr, {"--replay", spool + "missing"}, 2,
       "missing is not read as a trap: No such file or directory"},
      {"unknown option", nullptr, {"--verbose"}, 2, "kivoTrapD: unknown option --verbose"},
      {"an error", [&] { h.addService(3, 1, ".9", "/nonexistent/plugin", ""); }, {"--check"}, 1,
       "plug-in /nonexistent/plugin: No such file or directory"},
      {"unreachable database", [&] { h.config.entries["POSTGRESQL"]["PGSQL_host"] = nowhere; },
       {"--check"}, 1, "database: "},
      {"unknown traps, unreachable database", nullptr, {"--unknown"}, 1,
       "kivoTrapD --unknown: database: "},
  };
  for (const Case& c : cases) {
    if (c.setUp) c.setUp();
    std::string output;
    EXPECT_EQ(h.runCommand(c.arguments, &output), c.status) << c.name << "\n" << output;
    EXPECT_NE(output.find(c.text), std::string::npos) << c.name << "\n" << output;
  }
  EXPECT_EQ(readFile(record), "2 disk full\n") << "only --run runs the plug-in";
  EXPECT_EQ(h.spoolFiles(), spooled) << "the spool after every command";
  EXPECT_EQ(h.value("SELECT (SELECT count(*) FROM kivo_error_happen) + count(*) FROM "
                    "kivo_services WHERE service_last_exec_time IS NOT NULL"), "0");
  for (const std::string& path :
       {alerts, h.config.systemLog, h.config.trapLog, h.config.priorityFile}) {
    EXPECT_FALSE(fileExists(path)) << "after every command: " << path;
  }
}

}  // namespace

}  // namespace kivo
