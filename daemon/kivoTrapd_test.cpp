// The daemon binary as a process: start-up lines, intake, bad input and the
// SIGTERM stop with its put-back files.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "daemon/spoolIntake.h"
#include "testing/daemonConfig.h"
#include "testing/daemonProcess.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"
#include "trap/snmpTrap.h"

namespace {

std::string trapFile(const std::string& host) {
  return host + "\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
                "DISMAN-EVENT-MIB::sysUpTimeInstance 0:0:01:02.03\n"
                ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n"
                "date 2024-01-31 10:00:00\n"
                ".1.3.6.1.4.1.99.1 \"up\"\n";
}

class DaemonTest : public ::testing::Test {
 protected:
  DaemonProcess& start() {
    config.useDatabase(database);
    config.write();
    DaemonProcess::Options options;
    options.configuration = config.path;
    options.consoleFile = console;
    options.user = user;
    daemon.reset(new DaemonProcess(options));
    return *daemon;
  }

  bool logHas(const std::string& message) const {
    std::vector<std::string> lines = config.messages();
    return std::find(lines.begin(), lines.end(), message) != lines.end();
  }

  bool waitForLog(const std::string& message) {
    return waitFor([&] { return logHas(message); });
  }

  // Sends SIGTERM once the daemon is in its loop and returns its exit status.
  int stop() {
    EXPECT_TRUE(waitForLog("INFO#load Trap service ")) << readFile(config.systemLog);
    daemon->signal(SIGTERM);
    EXPECT_TRUE(daemon->waitExit()) << "the daemon must end after SIGTERM";
    return daemon->exitStatus();
  }

  std::vector<std::string> spoolNames() const { return listDirectory(config.spool); }

  TestDatabase database;
  TempDir dir;
  DaemonConfig config{dir};
  std::string console = dir.file("console");
  uid_t user = 0;
  std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(DaemonTest, StartupLinesThenStopLines) {
  writeFile(config.systemLog, "line of an earlier run\n");
  start();
  EXPECT_EQ(stop(), 0);
  std::vector<std::string> expected = {
      "INFO#Log file system: " + config.systemLog,
      "INFO#Log trap enable (0=no and 1=yes): 1",
      "INFO#Log file receive trap: " + config.trapLog,
      "INFO#Log file unknown trap: " + dir.file("trap_unknown.log"),
      "INFO#Log file max size: 1000000",
      "INFO#Connection database....",
      "\t[PG CONSTRUCT] connexion",
      "INFO#Connection database sucessful. Encoding: UTF8",
      "\t[PG EXEC] status: PGRES_TUPLES_OK",
      "\t[PG EXEC] status: PGRES_TUPLES_OK",
      "INFO#kivoTrapD starting...",
      "INFO#spool dir: " + config.spool,
      "\t[PG EXEC] status: PGRES_TUPLES_OK",
      "INFO#load Trap service ",
      "ERR#thread_number 0: no worker thread starts, no trap will be handled",
      "INFO# stop kivoTrapD... SIGTERM",
      "INFO# kivoTrapD is stopping ... SIGTERM",
      "\t[PG DESCONSTRUCT]fin de connexion",
  };
  EXPECT_EQ(config.messages(), expected);
}

TEST_F(DaemonTest, MissingLogEnableIsReportedAsZero) {
  config.entries["LOG"].erase("log_enable");
  start();
  EXPECT_TRUE(waitForLog("INFO#Log trap enable (0=no and 1=yes): 0"));
  EXPECT_EQ(stop(), 0);
}

TEST_F(DaemonTest, FilesAreTakenInByteOrderAndPutBackAtStop) {
  const char* names[] = {"b", "a", "10", "9", ".hidden"};
  for (const char* name : names) writeFile(config.spool + name, trapFile(std::string("host-") + name));
  start();
  ASSERT_TRUE(waitFor([&] { return spoolNames().empty(); })) << "every file is taken";
  EXPECT_EQ(stop(), 0);

  std::vector<std::string> putBack = spoolNames();
  ASSERT_EQ(putBack.size(), 5u);
  std::vector<std::string> hosts;
  for (const std::string& name : putBack) {
    EXPECT_EQ(name.rfind(kPutBackPrefix, 0), 0u) << name;
    snmpTrap trap;
    trap.read(config.spool + name);
    hosts.push_back(trap.getHost());
    writeFile(dir.file("original"), trapFile(trap.getHost()));
    snmpTrap original;
    original.read(dir.file("original"));
    EXPECT_EQ(trap, original) << "put back whole: " << name;
  }
  EXPECT_EQ(hosts, (std::vector<std::string>{"host-.hidden", "host-10", "host-9", "host-a",
                                             "host-b"}));
  EXPECT_TRUE(logHas("INFO#put back 5 queued traps into " + config.spool));
  std::vector<std::string> lines = config.messages();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "INFO# kivoTrapD is stopping ... SIGTERM");
}

TEST_F(DaemonTest, PutBackFilesAreTakenFirstAtTheNextStart) {
  writeFile(config.spool + "trap-0002", trapFile("older"));
  start();
  ASSERT_TRUE(waitFor([&] { return spoolNames().empty(); }));
  EXPECT_EQ(stop(), 0);
  ASSERT_EQ(spoolNames().size(), 1u);
  EXPECT_LT(spoolNames()[0], std::string("trap-0001")) << "sorts before received files";
  writeFile(config.spool + "trap-0003", trapFile("newer"));
  start();
  ASSERT_TRUE(waitFor([&] { return spoolNames().empty(); }));
  EXPECT_EQ(stop(), 0);
  std::vector<std::string> names = spoolNames();
  ASSERT_EQ(names.size(), 2u);
  snmpTrap first;
  first.read(config.spool + names[0]);
  EXPECT_EQ(first.getHost(), "older");
}

TEST_F(DaemonTest, EmptyAndGarbageFilesAreQueuedNotFatal) {
  writeFile(config.spool + "empty", "");
  writeFile(config.spool + "garbage", std::string("\x00\xff\x01 junk\n\n\x7f", 10));
  writeFile(config.spool + "short", "only a host line");
  start();
  ASSERT_TRUE(waitFor([&] { return spoolNames().empty(); }));
  EXPECT_EQ(stop(), 0);
  EXPECT_TRUE(logHas("INFO#put back 3 queued traps into " + config.spool));
}

TEST_F(DaemonTest, MissingSpoolDirectoryIsReportedOncePerOutage) {
  ::rmdir(config.spool.c_str());
  config.entries["KIVO"]["sleep"] = "0";
  start();
  std::string error = "ERR#kivo can't open spool directory " + config.spool +
                      ": No such file or directory";
  ASSERT_TRUE(waitForLog(error));
  ::usleep(200000);
  ::mkdir(config.spool.c_str(), 0755);
  writeFile(config.spool + "late", trapFile("late"));
  ASSERT_TRUE(waitFor([&] { return spoolNames().empty(); })) << "intake goes on";
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(config.count(error), 1) << "a long outage is one line";
  EXPECT_TRUE(logHas("INFO#spool dir readable again: " + config.spool));
  EXPECT_TRUE(logHas("INFO#put back 1 queued traps into " + config.spool));
}

TEST_F(DaemonTest, UndeletableFileIsQueuedOnceAndReportedEveryPass) {
  // The daemon runs as an unprivileged user on a spool directory it may
  // read but not change.
  struct passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  if (::geteuid() == 0) {
    user = nobody->pw_uid;
    ::chmod(dir.path().c_str(), 0777);
    ::chmod(config.spool.c_str(), 0755);
  } else {
    ::chmod(config.spool.c_str(), 0555);
  }
  config.entries["KIVO"]["sleep"] = "0";
  writeFile(config.spool + "stuck", trapFile("stuck"));
  ::chmod((config.spool + "stuck").c_str(), 0644);
  start();
  std::string error = "ERR#kivo can't delete " + config.spool + "stuck";
  ASSERT_TRUE(waitFor([&] { return config.count(error) >= 3; })) << readFile(config.systemLog);
  EXPECT_EQ(stop(), 0);
  std::vector<std::string> lines = config.messages();
  auto putBack = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("put back") != std::string::npos;
  });
  ASSERT_NE(putBack, lines.end());
  EXPECT_EQ(putBack->rfind("ERR#kivo can't put back 1 queued traps: ", 0), 0u)
      << "one trap in the queue, though the file was seen in every pass: " << *putBack;
  ::chmod(config.spool.c_str(), 0755);
}

TEST_F(DaemonTest, SigtermCutsTheLongPauseShort) {
  config.entries["KIVO"]["sleep"] = "600";
  start();
  EXPECT_EQ(stop(), 0);
}

TEST_F(DaemonTest, SpoolPathWithoutSlashStopsOnTheFirstFile) {
  std::string spool = config.spool;
  config.entries["KIVO"]["spool_directory"] = spool.substr(0, spool.size() - 1);
  writeFile(spool + "a", trapFile("a"));
  start();
  ASSERT_TRUE(daemon->waitExit());
  EXPECT_EQ(daemon->exitStatus(), 0);
  std::vector<std::string> lines = config.messages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "File errorerror open file");
  EXPECT_EQ(lines[lines.size() - 2], "INFO# kivoTrapD is stopping ... SIGTERM");
  EXPECT_TRUE(fileExists(spool + "a")) << "the unread file stays";
}

TEST_F(DaemonTest, MissingConfigurationStopsWithStatusZero) {
  start();
  config.path = dir.file("absent.conf");
  DaemonProcess::Options options;
  options.configuration = config.path;
  options.consoleFile = console;
  daemon.reset();
  daemon.reset(new DaemonProcess(options));
  ASSERT_TRUE(daemon->waitExit());
  EXPECT_EQ(daemon->exitStatus(), 0);
  std::vector<std::string> lines = logMessages(readFile(console));
  EXPECT_EQ(lines, (std::vector<std::string>{"File errorerror: can't open file",
                                             "INFO# kivoTrapD is stopping ... SIGTERM"}));
}

TEST_F(DaemonTest, UnopenableSystemLogStopsWithItsPath) {
  struct Case {
    const char* name;
    std::string content;
    std::string message;
  } cases[] = {
      {"carriage-return line ends", "[LOG]\r\nlog_trapd_file=" + config.systemLog + "\r\n",
       "File errorERROR can't open system file "},
      {"log in a missing directory", "[LOG]\nlog_trapd_file=" + dir.file("no/such.log") + "\n",
       "File errorERROR can't open system file " + dir.file("no/such.log")},
  };
  for (const Case& c : cases) {
    writeFile(config.path, c.content);
    DaemonProcess::Options options;
    options.configuration = config.path;
    options.consoleFile = console;
    DaemonProcess process(options);
    ASSERT_TRUE(process.waitExit()) << c.name;
    EXPECT_EQ(process.exitStatus(), 0) << c.name;
    std::vector<std::string> lines = logMessages(readFile(console));
    ASSERT_FALSE(lines.empty()) << c.name;
    EXPECT_EQ(lines[0], c.message) << c.name;
    EXPECT_EQ(lines.back(), "INFO# kivoTrapD is stopping ... SIGTERM") << c.name;
  }
}

}  // namespace
