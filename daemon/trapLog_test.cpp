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

snmpTrap readTrap(const TempDir& dir, const std::string& content) {
  writeFile(dir.file("trap"), content);
  snmpTrap trap;
  trap.read(dir.file("trap"));
  return trap;
}

const char* const kHeader =
    "host1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
    ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n";

TEST(TrapLog, LineFormat) {
  TempDir dir;
  struct Case {
    std::string content;
    std::string line;
  } cases[] = {
      {std::string(kHeader) + "date 2024-01-31 10:00:00\n",
       "2024-01-31 10:00:00#.1.3.6.1.4.1.99.0.1#host1#192.0.2.7"},
      {std::string(kHeader) + "date 2024-01-31 10:00:00\n.1.3.6.1.4.1.99.1 up\n"
                              ".1.3.6.1.4.1.99.2 down\n",
       "2024-01-31 10:00:00#.1.3.6.1.4.1.99.0.1#host1#192.0.2.7#.1.3.6.1.4.1.99.1:up#"
       ".1.3.6.1.4.1.99.2:down#"},
      {std::string(kHeader) + "date \"2024-01-31\"\n.1.2 a#b:c\n",
       "\"2024-01-31\"#.1.3.6.1.4.1.99.0.1#host1#192.0.2.7#.1.2:a#b:c#"},
      {"", "###"},
      {std::string("host\r\nUDP: [192.0.2.7]:161\ndate d\n.1.2 a\x1b[2Jb\r\n.1.3 ") +
           std::string(1, '\0') + "\n",
       "d##host\\r#192.0.2.7#.1.2:a\\x1b[2Jb\\r#.1.3:\\x00#"},
  };
  for (const Case& c : cases) EXPECT_EQ(trapLogLine(readTrap(dir, c.content)), c.line) << c.line;
}

class TrapLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(logDir.c_str(), 0755);
    flog_trap_receive.reset(new logFile(logPath));
  }
  void TearDown() override { flog_trap_receive.reset(); }

  TempDir dir;
  std::string logDir = dir.file("log");
  std::string logPath = logDir + "/trap_receive.log";
};

TEST_F(TrapLogFile, LostDirectoryIsReportedAndRecovered) {
  snmpTrap trap = readTrap(dir, std::string(kHeader) + "date d\n");
  CapturedOutput output;
  write_trap_log(trap);
  ::unlink(logPath.c_str());
  ::rmdir(logDir.c_str());
  write_trap_log(trap);
  write_trap_log(trap);
  EXPECT_EQ(logMessages(output.text()),
            (std::vector<std::string>{"ERR#write error trap log file: /trap_receive.log",
                                      "ERR#write error trap log file: /trap_receive.log"}));
  ::mkdir(logDir.c_str(), 0755);
  write_trap_log(trap);
  EXPECT_EQ(readFile(logPath), "d#.1.3.6.1.4.1.99.0.1#host1#192.0.2.7\n");
}

class TrapLogThreadTest : public TrapLogFile {};

TEST_F(TrapLogThreadTest, LinesOfManyThreadsStayWhole) {
  const int kThreads = 4;
  const int kLines = 300;
  std::vector<snmpTrap> traps;
  for (int t = 0; t < kThreads; ++t) {
    std::string value(200 + t * 50, static_cast<char>('a' + t));
    traps.push_back(readTrap(dir, std::string(kHeader) + "date d\n.1.2 " + value + "\n"));
  }
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) write_trap_log(traps[t]);
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::vector<std::string> lines = splitLines(readFile(logPath));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  for (const std::string& line : lines) {
    bool whole = false;
    for (const snmpTrap& trap : traps) whole = whole || line == trapLogLine(trap);
    ASSERT_TRUE(whole) << line;
  }
}

}  // namespace

}  // namespace kivo
