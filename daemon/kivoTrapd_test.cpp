// The daemon binary as a process: start-up lines, intake, bad spool entries
// and the SIGTERM stop.
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "testing/daemonConfig.h"
#include "testing/daemonProcess.h"
#include "testing/tempDir.h"
#include "testing/testDatabase.h"
#include "trap/snmpTrap.h"

namespace kivo {

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
  // The last start-up line, so that the stop's lines come after it.
  ASSERT_TRUE(waitForLog("ERR#thread_number 0: no worker thread starts, no trap will be handled"));
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
      // The services' last states.
      "\t[PG EXEC] status: PGRES_TUPLES_OK",
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

TEST_F(DaemonTest, FilesAreTakenInByteOrderAndRemovedOnceDone) {
  const char* names[] = {"b", "a", "10", "9", ".hidden"};
  for (const char* name : names) writeFile(config.spool + name, trapFile(std::string("host-") + name));
  config.entries["KIVO"]["thread_number"] = "1";
  start();
  ASSERT_TRUE(waitFor([&] { return spoolNames().empty(); })) << "every trap is done";
  EXPECT_EQ(stop(), 0);
  std::vector<std::string> hosts;
  const std::string unmatched = "INFO#there isn't passive service for OID.1.3.6.1.4.1.99.0.1 "
                                "on this host ";
  for (const std::string& line : config.messages()) {
    if (line.rfind(unmatched, 0) == 0) hosts.push_back(line.substr(unmatched.size()));
  }
  EXPECT_EQ(hosts, (std::vector<std::string>{"host-.hidden(192.0.2.7)", "host-10(192.0.2.7)",
                                             "host-9(192.0.2.7)", "host-a(192.0.2.7)",
                                             "host-b(192.0.2.7)"}));
  std::vector<std::string> lines = config.messages();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "INFO# kivoTrapD is stopping ... SIGTERM");
}

TEST_F(DaemonTest, QueuedTrapsStayInTheSpoolAtTheStop) {
  // No worker: every trap is queued and none is done.
  for (const char* name : {"trap-1", "trap-2", "trap-3"}) writeFile(config.spool + name, trapFile(name));
  start();
  ASSERT_TRUE(waitForLog("INFO#load Trap service "));
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(spoolNames(), (std::vector<std::string>{"trap-1", "trap-2", "trap-3"}));
  for (const std::string& line : config.messages()) {
    EXPECT_EQ(line.find("put back"), std::string::npos) << line;
  }
}

TEST_F(DaemonTest, EmptyAndGarbageFilesAreTrapsNotFatal) {
  writeFile(config.spool + "empty", "");
  writeFile(config.spool + "garbage", std::string("\x00\xff\x01 junk\n\n\x7f", 10));
  writeFile(config.spool + "short", "only a host line");
  config.entries["KIVO"]["thread_number"] = "1";
  start();
  ASSERT_TRUE(waitFor([&] { return spoolNames().empty(); }));
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(splitLines(readFile(config.trapLog)).size(), 3u);
}

TEST_F(DaemonTest, MissingSpoolDirectoryIsReportedOncePerOutage) {
  ::rmdir(config.spool.c_str());
  config.entries["KIVO"]["sleep"] = "0";
  config.entries["KIVO"]["thread_number"] = "1";
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
  EXPECT_EQ(splitLines(readFile(config.trapLog)).size(), 1u);
}

// The daemon runs as an unprivileged user; true when that could be set up.
bool runAsNobody(uid_t& user, const TempDir& dir) {
  struct passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr || ::geteuid() != 0) return false;
  user = nobody->pw_uid;
  ::chmod(dir.path().c_str(), 0777);
  return true;
}

TEST_F(DaemonTest, UndeletableFileIsHandledOnceAndReportedEveryPass) {
  // A spool directory the daemon may read but not change.
  if (!runAsNobody(user, dir)) GTEST_SKIP() << "needs root to run the daemon as nobody";
  ::chmod(config.spool.c_str(), 0755);
  config.entries["KIVO"]["sleep"] = "0";
  config.entries["KIVO"]["thread_number"] = "1";
  writeFile(config.spool + "stuck", trapFile("stuck"));
  start();
  std::string error = "ERR#kivo can't delete " + config.spool + "stuck";
  ASSERT_TRUE(waitForLog(error)) << readFile(config.systemLog);
  // Each arrival makes a pass, which tries the stuck file again.
  for (size_t i = 0; i < 2; ++i) {
    writeFile(config.spool + "later-" + std::to_string(i), trapFile("later"));
    ASSERT_TRUE(waitFor([&] { return splitLines(readFile(config.trapLog)).size() == i + 2; }));
  }
  ASSERT_TRUE(waitFor([&] { return config.count(error) >= 3; })) << readFile(config.systemLog);
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(splitLines(readFile(config.trapLog)).size(), 3u) << "each handled once";
}

TEST_F(DaemonTest, EntriesThatAreNoTrapFileAreReportedOnceAndSkipped) {
  const std::string secret = "secret-line-never-logged";
  writeFile(dir.file("secret"), secret + "\n" + secret + "\n");
  const std::string spool = config.spool;
  ASSERT_EQ(::mkfifo((spool + "b-fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(dir.file("secret").c_str(), (spool + "c-link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("absent").c_str(), (spool + "d-dangling").c_str()), 0);
  ASSERT_EQ(::mkdir((spool + "e-directory").c_str(), 0755), 0);
  writeFile(spool + "e-directory/inner", trapFile("inner"));
  writeFile(spool + "f-large", trapFile("large") + std::string(600, 'x') + "\n");
  int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listening, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string socketPath = spool + "g-socket";
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  for (const char* name : {"a-first", "h-last"}) writeFile(spool + name, trapFile(name));
  config.entries["KIVO"]["sleep"] = "0";
  config.entries["KIVO"]["thread_number"] = "1";
  config.entries["KIVO"]["spool_file_max"] = "500";
  start();
  ASSERT_TRUE(waitFor([&] { return !fileExists(spool + "a-first") && !fileExists(spool + "h-last"); }))
      << readFile(config.systemLog);
  // Later arrivals make later passes over the same entries.
  for (int i = 0; i < 3; ++i) {
    const std::string name = "i-later-" + std::to_string(i);
    writeFile(spool + name, trapFile(name));
    ASSERT_TRUE(waitFor([&] { return !fileExists(spool + name); })) << name;
  }
  EXPECT_EQ(stop(), 0);
  ::close(listening);

  struct Expected {
    const char* name;
    const char* why;
  } expected[] = {
      {"b-fifo", "is a FIFO"},
      {"c-link", "is a symbolic link"},
      {"d-dangling", "is a symbolic link"},
      {"e-directory", "is a directory"},
      {"f-large", "is larger than spool_file_max (500 bytes)"},
      {"g-socket", "is a socket"},
  };
  for (const Expected& e : expected) {
    EXPECT_EQ(config.count("ERR#kivo skips spool entry " + spool + e.name + ": " + e.why), 1)
        << e.name;
    EXPECT_TRUE(fileExists(spool + e.name) || e.name == std::string("d-dangling")) << e.name;
  }
  EXPECT_TRUE(fileExists(spool + "e-directory/inner")) << "nothing inside is touched";
  std::vector<std::string> hosts;
  for (const std::string& line : splitLines(readFile(config.trapLog))) hosts.push_back(line);
  EXPECT_EQ(hosts.size(), 5u) << "the two around them and the three later ones";
  EXPECT_EQ(readFile(config.systemLog).find(secret), std::string::npos);
  EXPECT_EQ(readFile(config.trapLog).find(secret), std::string::npos);
}

TEST_F(DaemonTest, UnreadableFileIsReportedOnceAndTheOthersAreTaken) {
  if (!runAsNobody(user, dir)) GTEST_SKIP() << "needs root to run the daemon as nobody";
  ::chmod(config.spool.c_str(), 0777);
  writeFile(config.spool + "a-closed", trapFile("closed"));
  ::chmod((config.spool + "a-closed").c_str(), 0600);
  writeFile(config.spool + "b-open", trapFile("open"));
  ::chmod((config.spool + "b-open").c_str(), 0644);
  config.entries["KIVO"]["thread_number"] = "1";
  start();
  ASSERT_TRUE(waitFor([&] { return !fileExists(config.spool + "b-open"); }))
      << readFile(config.systemLog);
  writeFile(config.spool + "c-later", trapFile("later"));
  ::chmod((config.spool + "c-later").c_str(), 0644);
  ASSERT_TRUE(waitFor([&] { return !fileExists(config.spool + "c-later"); }));
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(config.count("ERR#kivo skips spool entry " + config.spool +
                         "a-closed: Permission denied"),
            1);
  EXPECT_TRUE(fileExists(config.spool + "a-closed"));
}

TEST_F(DaemonTest, SigtermCutsTheLongPauseShort) {
  config.entries["KIVO"]["sleep"] = "600";
  start();
  EXPECT_EQ(stop(), 0);
}

TEST_F(DaemonTest, FileArrivingDuringALongPauseIsTakenAtOnce) {
  struct Case {
    const char* sleep;
    bool rename;  // renamed in, as the handlers do; else written in place
  } cases[] = {{"600", true}, {"600", false}, {"0", true}};
  for (const Case& c : cases) {
    config.entries["KIVO"]["sleep"] = c.sleep;
    config.entries["KIVO"]["thread_number"] = "1";
    ::unlink(config.trapLog.c_str());
    start();
    ASSERT_TRUE(waitForLog("INFO#load Trap service ")) << c.sleep;
    for (int i = 0; i < 2; ++i) {
      const std::string name = "trap-" + std::to_string(i);
      if (c.rename) {
        writeFile(dir.file(name), trapFile(name));
        ASSERT_EQ(::rename(dir.file(name).c_str(), (config.spool + name).c_str()), 0);
      } else {
        writeFile(config.spool + name, trapFile(name));
      }
      ASSERT_TRUE(waitFor([&] { return splitLines(readFile(config.trapLog)).size() == i + 1u; }))
          << "sleep=" << c.sleep << " rename=" << c.rename << " file " << i;
    }
    EXPECT_EQ(stop(), 0);
  }
}

TEST_F(DaemonTest, SpoolPathWithoutSlashIsUsedWithOne) {
  std::string spool = config.spool;
  config.entries["KIVO"]["spool_directory"] = spool.substr(0, spool.size() - 1);
  config.entries["KIVO"]["thread_number"] = "1";
  writeFile(spool + "a", trapFile("a"));
  start();
  ASSERT_TRUE(waitFor([&] { return !fileExists(spool + "a"); })) << readFile(config.systemLog);
  EXPECT_EQ(stop(), 0);
  EXPECT_TRUE(logHas("INFO#spool dir: " + spool.substr(0, spool.size() - 1) + "/"));
  EXPECT_TRUE(logHas("INFO#spool_directory has no final \"/\": using " + spool));
}

TEST_F(DaemonTest, SecondDaemonOnTheSameSpoolRefusesToStart) {
  config.entries["KIVO"]["thread_number"] = "1";
  start();
  ASSERT_TRUE(waitForLog("INFO#load Trap service "));
  DaemonConfig second(dir);
  second.path = dir.file("second.conf");
  second.systemLog = dir.file("second.log");
  second.entries["LOG"]["log_trapd_file"] = second.systemLog;
  second.entries["KIVO"]["thread_number"] = "1";
  second.useDatabase(database);
  second.write();
  DaemonProcess::Options options;
  options.configuration = second.path;
  options.consoleFile = dir.file("second.console");
  DaemonProcess other(options);
  ASSERT_TRUE(other.waitExit());
  EXPECT_NE(other.exitStatus(), 0);
  EXPECT_EQ(logMessages(readFile(options.consoleFile)),
            (std::vector<std::string>{"ERR#kivo spool directory " + config.spool +
                                      " is taken by another running kivoTrapD: this one stops"}));
  EXPECT_FALSE(fileExists(second.systemLog)) << "stopped before anything else";

  writeFile(config.spool + "trap", trapFile("after"));
  ASSERT_TRUE(waitFor([&] { return spoolNames().empty(); }));
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(splitLines(readFile(config.trapLog)).size(), 1u);
}

TEST_F(DaemonTest, MissingConfigurationStopsWithStatusOne) {
  start();
  config.path = dir.file("absent.conf");
  DaemonProcess::Options options;
  options.configuration = config.path;
  options.consoleFile = console;
  daemon.reset();
  daemon.reset(new DaemonProcess(options));
  ASSERT_TRUE(daemon->waitExit());
  EXPECT_EQ(daemon->exitStatus(), 1);
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
    DaemonProcess process(config.path, console);
    ASSERT_TRUE(process.waitExit()) << c.name;
    EXPECT_EQ(process.exitStatus(), 1) << c.name;
    std::vector<std::string> lines = logMessages(readFile(console));
    ASSERT_FALSE(lines.empty()) << c.name;
    EXPECT_EQ(lines[0], c.message) << c.name;
    EXPECT_EQ(lines.back(), "INFO# kivoTrapD is stopping ... SIGTERM") << c.name;
  }
}

}  // namespace

}  // namespace kivo
