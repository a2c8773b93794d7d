// The trap log: its line for a trap, a lost directory, and whole lines from
// many threads.
#include "daemon/trapLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "daemon/daemonGlobals.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

namespace {

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

class TrapLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(logDir.c_str(), 0755), 0);
    flog_trap_receive.reset(new logFile(logPath));
  }
  void TearDown() override { flog_trap_receive.reset(); }

  TempDir dir;
  std::string logDir = dir.file("log"), logPath = logDir + "/trap_receive.log";
};

TEST_F(TrapLogFile, ALostDirectoryIsReportedAndRecovered) {
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
  EXPECT_EQ(readFile(logPath), "d#.1.9#host1#192.0.2.7\n");
}

class TrapLogThreadTest : public TrapLogFile {};

TEST_F(TrapLogThreadTest, LinesOfManyThreadsStayWhole) {
  std::vector<snmpTrap> traps;
  for (int t = 0; t < 4; ++t) {
    traps.push_back(trapOf(kHeader + ".1.2 " + std::string(200 + t * 50, 'a' + t) + "\n"));
  }
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) write_trap_log(traps[t]);
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::vector<std::string> lines = splitLines(readFile(logPath));
  ASSERT_EQ(lines.size(), 1200u);
  for (const std::string& line : lines) {
    bool whole = false;
    for (const snmpTrap& trap : traps) whole = whole || line == trapLogLine(trap);
    ASSERT_TRUE(whole) << line;
  }
}

}  // namespace

}  // namespace kivo
