// The compiled handler; what it makes of values in a real snmptrapd is shown
// beside the in-process handler (receiver/inProcessSpoolHandler_test.cpp).
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

TEST(SpoolHandler, NamesSortByArrivalAndTheDateIsTheLastLine) {
  struct tm local = {};
  local.tm_year = 124;
  local.tm_mday = 31;
  local.tm_hour = 10;
  local.tm_min = 5;
  local.tm_sec = 9;
  EXPECT_EQ(addReceiveDate("h\nt", local), "h\nt\ndate 2024-01-31 10:05:09\n");
  EXPECT_EQ(addReceiveDate("", local), "date 2024-01-31 10:05:09\n");
  timespec early = {999999999, 999999999}, late = {1000000000, 0};
  EXPECT_LT(spoolFileName(early, 99999, 0), spoolFileName(late, 1, 0)) << "fixed width";
  EXPECT_NE(spoolFileName(late, 1, 0), spoolFileName(late, 1, 1));
  EXPECT_EQ(spoolPath("/spool/", "x") + spoolPath("/spool", "x"), "/spool/x/spool/x");
}

TEST(SpoolHandler, WritesOneCompleteFile) {
  TempDir dir;
  std::string input = dir.file("input"), spool = dir.file("spool");
  writeFile(input, "host1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n.1.2 \"up\"\n");
  FileDescriptor in(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
  ::mkdir(spool.c_str(), 0755);
  std::string error;
  ASSERT_EQ(handleTrap(in.get(), spool, &error), 0) << error;
  std::vector<std::string> names = listDirectory(spool);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex("trap-[0-9]{19}-[0-9]+-0"))) << names[0];
  snmpTrap trap;
  trap.read(spool + "/" + names[0]);
  EXPECT_EQ(trap.getHostAddr(), "192.0.2.7");
  EXPECT_TRUE(std::regex_match(
      trap.getdateReceive(), std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")));
  EXPECT_EQ(trap.getValue(0), "up");
}

TEST(SpoolHandler, ProgramReportsUsageAndWriteFailures) {
  TempDir dir;
  std::string errors = dir.file("stderr"), missing = dir.file("missing");
  std::string handler = spoolHandlerBinary();
  EXPECT_EQ(runProgram({"sh", "-c", handler + " < /dev/null 2> " + errors}), 2);
  EXPECT_EQ(readFile(errors), "usage: kivo-spool-handler <spool directory>\n");
  EXPECT_EQ(runProgram({"sh", "-c", handler + " " + missing + " < /dev/null 2> " + errors}), 1);
  std::regex report("kivo-spool-handler: can't write spool file " + missing +
                    "/trap-[0-9-]+: No such file or directory\n");
  EXPECT_TRUE(std::regex_match(readFile(errors), report)) << readFile(errors);
}

}  // namespace kivo
