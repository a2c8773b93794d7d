// The daemon's two logs. The system log: the previous run's file kept at
// open, and reopening at the same path after a move, a rotation by copy, or a
// vanished directory. The trap log: its line for a trap and a lost directory.
#include "daemon/systemLog.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/daemonGlobals.h"
#include "daemon/trapLog.h"
#include "support/standardOutput.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

namespace {

TEST(SystemLog, OpenKeepsThePreviousRunOrSaysWhyNotAndStartsEmpty) {
  TempDir dir;
  const std::string path = dir.file("kivotrapd.log"), blocked = dir.file("blocked.log");
  writeFile(path, "line of the run before\n");
  ASSERT_EQ(::mkdir((blocked + ".previous").c_str(), 0755), 0);  // in the way of the rename
  writeFile(blocked + ".previous/x", "x");
  writeFile(blocked, "old\n");
  for (const std::string& opened : {path, blocked, dir.file("first.log")}) {
    SystemLog log;
    log.open(opened);
    EXPECT_EQ(readFile(opened), "") << opened;
    EXPECT_EQ(log.keepPreviousError() != 0, opened == blocked) << opened;
  }
  EXPECT_EQ(readFile(path + ".previous"), "line of the run before\n");
  EXPECT_FALSE(fileExists(dir.file("first.log.previous"))) << "a first run leaves none";
}

TEST(SystemLog, ReopenTakesTheFileAtThePathUnderTheSameDescriptorOrKeepsTheOld) {
  TempDir dir;
  const std::string path = dir.file("sub/kivotrapd.log");
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
  SystemLog log;
  log.open(path);
  const int descriptor = standardOutputDescriptor();
  writeStandardOutputLine("one");
  EXPECT_EQ(log.reopen(), 0);
  writeStandardOutputLine("two");
  EXPECT_EQ(readFile(path), "one\ntwo\n") << "appended";
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);  // a rotation by copy
  writeStandardOutputLine("kept");
  EXPECT_EQ(readFile(path), "kept\n") << "appending leaves no hole of zero bytes";
  ASSERT_EQ(::rename(path.c_str(), dir.file("moved.log").c_str()), 0);
  EXPECT_EQ(log.reopen(), 0);
  writeStandardOutputLine("after");
  EXPECT_EQ(readFile(path), "after\n");
  EXPECT_EQ(readFile(dir.file("moved.log")), "kept\n");
  EXPECT_EQ(standardOutputDescriptor(), descriptor) << "children started meanwhile keep it";
  ASSERT_EQ(::rename(path.c_str(), dir.file("moved.log").c_str()), 0);
  ASSERT_EQ(::rmdir(dir.file("sub").c_str()), 0);
  EXPECT_EQ(log.reopen(), ENOENT);
  writeStandardOutputLine("still written");
  EXPECT_EQ(readFile(dir.file("moved.log")), "after\nstill written\n");
}

snmpTrap trapOf(const std::string& content) {
  snmpTrap trap;
  trap.readText(content);
  return trap;
}

const std::string kHeader = "host1\nUDP: [192.0.2.7]:161\n.1.3.6.1.6.3.1.1.4.1.0 .1.9\n";

TEST(TrapLog, LineFormat) {
  struct Case {
    std::string content, line;
  } cases[] = {
      {kHeader + "date 2024-01-31 10:00:00\n", "2024-01-31 10:00:00#.1.9#host1#192.0.2.7"},
      {kHeader + "date \"d\"\n.1.2 up\n.1.3 a#b\n", "\"d\"#.1.9#host1#192.0.2.7#.1.2:up#.1.3:a#b#"},
      {"", "###"},
      {"host\r\nUDP: [192.0.2.7]:161\ndate d\n.1.2 a\x1b[2Jb\r\n.1.3 " + std::string(1, '\0'),
       "d##host\\r#192.0.2.7#.1.2:a\\x1b[2Jb\\r#.1.3:\\x00#"},
  };
  for (const Case& c : cases) EXPECT_EQ(trapLogLine(trapOf(c.content)), c.line);
}

TEST(TrapLog, ALostDirectoryIsReportedAndRecovered) {
  TempDir dir;
  const std::string logDir = dir.file("log"), logPath = logDir + "/trap_receive.log";
  ASSERT_EQ(::mkdir(logDir.c_str(), 0755), 0);
  flog_trap_receive.reset(new logFile(logPath));
  snmpTrap trap = trapOf(kHeader + "date d\n");
  CapturedOutput output;
  write_trap_log(trap);
  ::unlink(logPath.c_str());
  ::rmdir(logDir.c_str());
  write_trap_log(trap);
  EXPECT_EQ(logMessages(output.text()),
            std::vector<std::string>{"ERR#write error trap log file: /trap_receive.log"});
  ::mkdir(logDir.c_str(), 0755);
  write_trap_log(trap);
  flog_trap_receive.reset();
  EXPECT_EQ(readFile(logPath), "d#.1.9#host1#192.0.2.7\n");
}

}  // namespace

}  // namespace kivo
