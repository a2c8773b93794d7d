#include "daemon/worker/trapLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/base/daemonGlobals.h"
#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

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

}  // namespace kivo
