// The daemon binary's life: its start-up and stop lines, the failures that
// end it at start-up, a spool directory removed or moved away and made
// again, one it cannot remove from, SIGHUP, the traps that no
// service takes and the objects the daemon adds to the database.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "testing/daemonHarness.h"

namespace kivo {

namespace {

const std::string kOid = DaemonHarness::oid(1), kNewOid = DaemonHarness::oid(2);
const char* const kStopping = "INFO# kivoTrapD is stopping ... SIGTERM";
const char* const kReturn = "EXEC#RETURN exec 0";

std::string trapFrom(const std::string& host) {
  return DaemonHarness::trapText("192.0.2.7", kOid, {{".1.3.6.1.4.1.99.1", "up"}}, host);
}

TEST(DaemonLifeTest, StartupLinesThenSigintStopsLeavingQueuedTrapsInTheSpool) {
  DaemonHarness h;
  const std::string spool = h.config.spool;
  h.config.entries["KIVO"]["spool_directory"] = spool.substr(0, spool.size() - 1);
  for (const char* name : {"trap-1", "trap-2"}) h.spool(name, trapFrom(name));
  h.start(0);
  h.daemon->signal(SIGINT);
  EXPECT_EQ(h.waitExit(), 0);
  std::vector<std::string> lines = h.config.messages();  // without the connection's trace lines
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.rfind("\t[PG ", 0) == 0; }),
              lines.end());
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "INFO#Log file system: " + h.config.systemLog,
                "INFO#Log trap enable (0=no and 1=yes): 1",
                "INFO#Log file receive trap: " + h.config.trapLog,
                "INFO#Log file unknown trap: " + h.dir.file("trap_unknown.log"),
                "INFO#Log file max size: 1000000",
                "ERR#thread_number 0: no worker thread starts, no trap will be handled",
                "INFO#Connection database....",
                "INFO#Connection database sucessful. Encoding: UTF8",
                "INFO#kivoTrapD starting...",
                "INFO#spool dir: " + spool,
                "INFO#spool_directory has no final \"/\": using " + spool,
                "INFO#load Trap service ",
                "INFO# stop kivoTrapD... SIGTERM",
                kStopping,
            }));
  EXPECT_EQ(h.spoolFiles(), (std::vector<std::string>{"trap-1", "trap-2"}));
}

TEST(DaemonLifeTest, FailuresAtStartUpEndWithStatusOneAndTheirLine) {
  // A setting, its value in the test's directory and the failure's line;
  // without a setting there is no settings file.
  struct Case {
    const char *section, *name, *file, *line;
  } cases[] = {
      {"", "", "", "File errorerror: can't open file"},
      {"LOG", "log_trapd_file", "no/system.log", "File errorERROR can't open system file "},
      {"LOG", "log_trap_receive", "no/trap.log", "File errorerror open file: "},
      {"POSTGRESQL", "PGSQL_host", "no-server",
       "POSTGRESQL EXCEPTIONconnection to server on socket \""},
  };
  for (const Case& c : cases) {
    DaemonHarness h;
    DaemonProcess::Options options;
    if (*c.section == '\0') options.configuration = h.dir.file("no.conf");
    h.config.entries[c.section][c.name] = h.dir.file(c.file);
    h.launch(1, options);
    EXPECT_EQ(h.waitExit(), 1) << c.line;
    const std::string text = h.console() + h.log();
    std::vector<std::string> lines = logMessages(text);
    const std::string line = c.line + (*c.section == '\0' ? "" : h.dir.file(c.file));
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kStopping), 1) << c.line;
  }
}

// With sleep 0 only the watch ends a pause: it must see the directory go
// and come back, and the claim must follow, so that a second daemon on the
// same path refuses.
TEST(DaemonLifeTest, ASpoolDirectoryRemovedOrMovedAwayAndMadeAgainIsWatchedAndClaimedAgain) {
  DaemonHarness h, second;
  const std::string spool = h.config.spool, path = spool.substr(0, spool.size() - 1);
  second.config.entries["KIVO"]["spool_directory"] = spool;
  h.set("KIVO", {{"sleep", "0"}});
  h.start(1);
  for (const char* away : {"removed", "moved"}) {
    if (*away == 'r') {
      ASSERT_EQ(::rmdir(path.c_str()), 0);
    } else {
      ASSERT_EQ(::rename(path.c_str(), (path + ".old").c_str()), 0);
    }
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    h.spool(away, trapFrom(away));
    ASSERT_TRUE(waitFor([&] { return !fileExists(spool + away); }, std::chrono::seconds(10)))
        << away << "\n" << h.log();
    second.launch(1);
    ASSERT_TRUE(second.daemon->waitExit(std::chrono::seconds(10))) << away;
    EXPECT_EQ(second.daemon->exitStatus(), 1);
    EXPECT_NE(second.console().find("ERR#kivo spool directory " + spool +
                                    " is taken by another running kivoTrapD: this one stops"),
              std::string::npos)
        << second.console();
  }
  // The directory made again after a removal may get the old one's inode:
  // then only the move is a replacement to tell.
  EXPECT_GE(h.count("ERR#spool dir replaced by another directory: " + spool) +
                h.count("ERR#kivo can't open spool directory " + spool),
            1)
      << h.log();
}

// How they are counted and logged is the unit's; here the counts reach the
// database at each flush and --unknown lists them, the newest first.
TEST(DaemonLifeTest, TrapsWithoutAServiceAreLoggedCountedAndListed) {
  DaemonHarness h;
  h.spool("t1", trapFrom("t1"));
  h.spool("t2", DaemonHarness::trapText("192.0.2.7", kNewOid, {}));
  h.spool("t3", DaemonHarness::trapText("192.0.2.8", kOid, {}));
  h.set("KIVO", {{"unknown_flush", "1"}});
  h.start(1);
  const std::string counted = "SELECT sum(unknown_count) FROM kivo_trap_unknown";
  ASSERT_TRUE(waitFor([&] { return h.value(counted) == "3"; })) << h.log();
  // A later trap of a pair counted already adds to its row, at the stop.
  h.spool("t4", trapFrom("t4"));
  ASSERT_TRUE(h.waitForLog("INFO#there isn't passive service", 4)) << h.log();
  EXPECT_EQ(h.stop(), 0);
  EXPECT_EQ(DaemonHarness::lines(h.dir.file("trap_unknown.log")), 4u) << "the daemon's own file";
  std::string output;
  EXPECT_EQ(h.runCommand({"--unknown"}, &output), 0) << output;
  const std::vector<std::string> lines = splitLines(output);
  ASSERT_EQ(lines.size(), 5u) << output;
  EXPECT_EQ(lines[1].rfind("192.0.2.7  " + kOid, 0), 0u) << output;
  EXPECT_EQ(lines[1].back(), '2') << output;
  EXPECT_EQ(lines[4], "kivoTrapD --unknown: 3 pairs, 4 traps");
}

TEST(DaemonLifeTest, AFileThatCannotBeRemovedIsTriedAgainAtTheNextPass) {
  DaemonHarness h;
  struct passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr || ::geteuid() != 0) GTEST_SKIP() << "runs the daemon as nobody";
  DaemonProcess::Options options;
  options.user = nobody->pw_uid;
  ::chmod(h.dir.path().c_str(), 0777);
  const std::string spool = h.config.spool;
  writeFile(spool + "stuck", trapFrom("stuck"));
  h.config.entries["KIVO"]["sleep"] = "0";
  h.start(1, options);
  const std::string stuck = "ERR#kivo can't delete " + spool + "stuck";
  ASSERT_TRUE(h.waitForLog(stuck)) << h.log();
  writeFile(spool + "later", trapFrom("later"));
  ASSERT_TRUE(waitFor([&] { return DaemonHarness::lines(h.config.trapLog) == 2; }));
  ASSERT_TRUE(h.waitForLog(stuck, 2)) << "the arrival's pass tries the stuck file again";
}

TEST(DaemonSighupThreadTest, NewLogAndServicesForTheNextTrapsWhileTheTrapInHandFinishes) {
  DaemonHarness h;
  const std::string started = h.dir.file("started"), gate = h.dir.file("gate");
  const std::string gated = std::string(KIVO_SOURCE_DIR) + "/services/testdata/gated.sh";
  const std::string echo = DaemonHarness::testdata("echo_arguments.sh");
  h.addDevice(1, "192.0.2.7");
  h.addService(1, 1, kOid, gated, started + " " + gate + " old");
  h.config.entries["LOG"]["log_enable"] = "2";  // only 1 writes the trap log
  h.start(1);
  EXPECT_NE(readFile(h.config.priorityFile).find(kOid), std::string::npos) << "written at start";
  h.spool("trap-1", trapFrom("held"));
  ASSERT_TRUE(waitFor([&] { return fileExists(started); })) << "the plug-in holds the trap";

  h.execute("UPDATE kivo_services SET service_parameter = " +
            sqlQuoted(started + "-2 " + gate + " new") + " WHERE service_id = 1");
  h.addService(2, 1, kNewOid, echo, "$1");
  const std::string moved = h.config.systemLog + ".1";
  ASSERT_EQ(::rename(h.config.systemLog.c_str(), moved.c_str()), 0);
  h.daemon->signal(SIGHUP);
  ASSERT_TRUE(h.waitForLog("INFO#services reloaded: 2 services")) << h.log() << readFile(moved);
  EXPECT_EQ(h.count("INFO#SIGHUP: system log reopened " + h.config.systemLog), 1);
  writeFile(gate, "");
  ASSERT_TRUE(h.waitForLog(kReturn));
  EXPECT_EQ(h.value("SELECT service_last_stdout FROM kivo_services WHERE service_id = 1"),
            "old\n")
      << "the trap in hand ran with the service it found";
  h.spool("trap-2", DaemonHarness::trapText("192.0.2.7", kNewOid, {{".1.3.6.1.4.1.99.1", "x"}}));
  h.spool("trap-3", trapFrom("next"));
  ASSERT_TRUE(h.waitForLog(kReturn, 3)) << h.log();
  EXPECT_EQ(h.count("EXEC#" + echo + " x"), 1) << "the added service ran";
  EXPECT_EQ(h.count("EXEC#" + gated + " " + started + "-2 " + gate + " new"), 1);

  // A reload that cannot read the services changes nothing.
  h.execute("DELETE FROM kivo_services WHERE service_id = 2;"
            "ALTER TABLE kivo_plugins RENAME TO kivo_plugins_away");
  h.daemon->signal(SIGHUP);
  ASSERT_TRUE(h.waitForLog("ERR#services not reloaded, the old ones stay: ")) << h.log();
  h.spool("trap-4", DaemonHarness::trapText("192.0.2.7", kNewOid, {{".1.3.6.1.4.1.99.1", "y"}}));
  ASSERT_TRUE(h.waitForLog(kReturn, 4)) << h.log();
  EXPECT_EQ(h.count("EXEC#" + echo + " y"), 1) << "the old services go on";
  EXPECT_EQ(DaemonHarness::lines(h.config.trapLog), 0u);
}

TEST(DaemonDatabaseTest, WithoutItsObjectsAndTheRightToMakeThemTheDaemonSaysSoAndRunsThenAddsThem) {
  DaemonHarness h;
  const std::string role = h.database.name() + "_user";
  h.execute("DROP TABLE kivo_trap_done, kivo_alert_due;"
            "DROP FUNCTION kivo_services_changed() CASCADE;"
            "REVOKE CREATE ON SCHEMA public FROM PUBLIC;"
            "CREATE ROLE " + role + " LOGIN;"
            "GRANT ALL ON ALL TABLES IN SCHEMA public TO " + role + ";"
            "GRANT ALL ON ALL SEQUENCES IN SCHEMA public TO " + role);
  h.addDevice(1, "192.0.2.7");
  h.addService(1, 1, kOid, DaemonHarness::testdata("echo_arguments.sh"), "$1");
  h.set("POSTGRESQL", {{"PGSQL_username", role}});
  const std::string lacks =
      "database lacks kivo_trap_done, kivo_alert_due, the kivo_services_changed triggers: run "
      "/usr/share/kivo/upgrade.sql as the database's owner, then grants.sql; running without "
      "what needs them";
  h.start(1);
  EXPECT_EQ(h.count("ERR#" + lacks), 1) << h.log();
  h.spool("trap-1", trapFrom("h"));
  ASSERT_TRUE(h.waitForLog(kReturn)) << h.log();
  std::string output;
  EXPECT_EQ(h.runCommand({"--check"}, &output), 0);
  EXPECT_NE(output.find("warning: " + lacks + "\n"), std::string::npos) << output;
  EXPECT_EQ(h.stop(), 0);

  h.set("POSTGRESQL", {{"PGSQL_username", "postgres"}});
  h.start(1);
  EXPECT_EQ(h.count("INFO#database upgraded: added kivo_trap_done, kivo_alert_due, the "
                    "kivo_services_changed triggers"), 1) << h.log();
}

}  // namespace

}  // namespace kivo
