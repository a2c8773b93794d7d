#include "trap/spoolHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "support/posixIo.h"
#include "testing/snmpTrapReceiver.h"
#include "testing/tempDir.h"
#include "trap/snmpTrap.h"

namespace kivo {

namespace {

TEST(SpoolHandler, ReceiveDateIsTheLastLine) {
  struct tm local = {};
  local.tm_year = 124;
  local.tm_mon = 0;
  local.tm_mday = 31;
  local.tm_hour = 10;
  local.tm_min = 5;
  local.tm_sec = 9;
  EXPECT_EQ(addReceiveDate("h\nt\n", local), "h\nt\ndate 2024-01-31 10:05:09\n");
  EXPECT_EQ(addReceiveDate("h\nt", local), "h\nt\ndate 2024-01-31 10:05:09\n");
  EXPECT_EQ(addReceiveDate("", local), "date 2024-01-31 10:05:09\n");
}

TEST(SpoolHandler, NamesSortByArrival) {
  timespec early = {999999999, 999999999};
  timespec late = {1000000000, 0};
  std::string first = spoolFileName(early, 99999, 0);
  std::string second = spoolFileName(late, 1, 0);
  EXPECT_LT(first, second) << "fixed width keeps time order across digit counts";
  EXPECT_NE(spoolFileName(late, 1, 0), spoolFileName(late, 1, 1));
  EXPECT_EQ(spoolPath("/spool/", "x"), "/spool/x");
  EXPECT_EQ(spoolPath("/spool", "x"), "/spool/x");
}

TEST(SpoolHandler, WritesOneCompleteFile) {
  TempDir dir;
  std::string input = dir.file("input");
  writeFile(input, "host1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n.1.2 \"up\"\n");
  FileDescriptor in(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
  std::string spool = dir.file("spool");
  ::mkdir(spool.c_str(), 0755);
  std::string error;
  ASSERT_EQ(handleTrap(in.get(), spool, &error), 0) << error;
  std::vector<std::string> names = listDirectory(spool);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex("trap-[0-9]{19}-[0-9]+-0"))) << names[0];
  snmpTrap trap;
  trap.read(spool + "/" + names[0]);
  EXPECT_EQ(trap.getHostAddr(), "192.0.2.7");
  EXPECT_TRUE(std::regex_match(trap.getdateReceive(),
                               std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << trap.getdateReceive();
  ASSERT_EQ(trap.getSize(), 1);
  EXPECT_EQ(trap.getValue(0), "up");
}

TEST(SpoolHandler, ProgramReportsUsageAndWriteFailures) {
  TempDir dir;
  std::string errors = dir.file("stderr");
  std::string handler = spoolHandlerBinary();
  EXPECT_EQ(runProgram({"sh", "-c", handler + " < /dev/null 2> " + errors}), 2);
  EXPECT_EQ(readFile(errors), "usage: kivo-spool-handler <spool directory>\n");

  std::string missing = dir.file("missing");
  EXPECT_EQ(runProgram({"sh", "-c", handler + " " + missing + " < /dev/null 2> " + errors}), 1);
  std::string message = readFile(errors);
  EXPECT_EQ(message.rfind("kivo-spool-handler: can't write spool file " + missing + "/trap-", 0),
            0u)
      << message;
  EXPECT_NE(message.find(": No such file or directory\n"), std::string::npos) << message;
}

// snmptrapd on loopback, the handler behind it, and snmptrap in front.
class SpoolHandlerWithReceiver : public ::testing::Test {
 protected:
  void SetUp() override { ::mkdir(spool.c_str(), 0755); }

  std::vector<snmpTrap> spooledTraps(size_t expected) {
    EXPECT_TRUE(waitFor([&] { return listDirectory(spool).size() >= expected; }))
        << receiver.log();
    std::vector<snmpTrap> traps;
    for (const std::string& name : listDirectory(spool)) {
      snmpTrap trap;
      trap.read(spool + name);
      traps.push_back(trap);
    }
    return traps;
  }

  TempDir dir;
  std::string spool = dir.file("spool/");
  SnmpTrapReceiver receiver{dir, spool};
};

TEST_F(SpoolHandlerWithReceiver, TrapArrivesAsOneSpoolFile) {
  ASSERT_EQ(sendTrap(receiver.address(), ".1.3.6.1.4.1.99.0.1",
                     {".1.3.6.1.4.1.99.1", "s", "link down", ".1.3.6.1.4.1.99.4", "i", "5"}),
            0);
  std::vector<snmpTrap> traps = spooledTraps(1);
  ASSERT_EQ(traps.size(), 1u);
  const snmpTrap& trap = traps[0];
  EXPECT_FALSE(trap.getHost().empty()) << "the name the receiver found for the sender";
  EXPECT_EQ(trap.getHostAddr(), "127.0.0.1");
  EXPECT_EQ(trap.getPort().rfind("UDP: [127.0.0.1]:", 0), 0u) << trap.getPort();
  EXPECT_EQ(trap.getOid(), ".1.3.6.1.4.1.99.0.1");
  EXPECT_FALSE(trap.getDeviceUptime().empty());
  EXPECT_FALSE(trap.getdateReceive().empty());
  ASSERT_EQ(trap.getSize(), 2);
  EXPECT_EQ(trap.getVariableOid(0), ".1.3.6.1.4.1.99.1");
  EXPECT_EQ(trap.getValue(0), "link down");
  EXPECT_EQ(trap.getValue(1), "5");
}

TEST_F(SpoolHandlerWithReceiver, AwkwardValuesFollowTheLineRules) {
  ASSERT_EQ(sendTrap(receiver.address(), ".1.3.6.1.4.1.99.0.2",
                     {".1.3.6.1.4.1.99.2", "s", "line1\nline2", ".1.3.6.1.4.1.99.3", "x", "00FF10"}),
            0);
  std::vector<snmpTrap> traps = spooledTraps(1);
  ASSERT_EQ(traps.size(), 1u);
  // A string over two lines is cut at the line feed; its second line reads
  // as a variable of its own.
  std::vector<trap_variable> expected = {{".1.3.6.1.4.1.99.2", "line1"},
                                         {"line2\"", ""},
                                         {".1.3.6.1.4.1.99.3", "00 FF 10 "}};
  EXPECT_EQ(traps[0].getVariables(), expected);
}

TEST_F(SpoolHandlerWithReceiver, BurstArrivesCompleteAndInOrder) {
  const int kTraps = 40;
  for (int i = 0; i < kTraps; ++i) {
    ASSERT_EQ(sendTrap(receiver.address(), ".1.3.6.1.4.1.99.0.1",
                       {".1.3.6.1.4.1.99.9", "i", std::to_string(i)}),
              0);
  }
  std::vector<snmpTrap> traps = spooledTraps(kTraps);
  ASSERT_EQ(traps.size(), static_cast<size_t>(kTraps));
  for (int i = 0; i < kTraps; ++i) {
    ASSERT_EQ(traps[i].getSize(), 1) << i;
    EXPECT_EQ(traps[i].getValue(0), std::to_string(i)) << "file order is arrival order";
  }
}

}  // namespace

}  // namespace kivo
