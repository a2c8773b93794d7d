// Its files in a real snmptrapd: receiver/inProcessSpoolHandler_test.cpp; the text of a
// failed write: support/spoolFile_test.cpp.
#include "trap/spoolHandler.h"

#include <gtest/gtest.h>

#include "testing/snmpTrapReceiver.h"
#include "testing/tempDir.h"

namespace kivo {

TEST(SpoolHandler, NamesSortByArrivalAndTheDateIsTheLastLine) {
  struct tm local = {};
  ASSERT_NE(::strptime("2024-01-31 10:05:09", "%Y-%m-%d %H:%M:%S", &local), nullptr);
  EXPECT_EQ(addReceiveDate("h\nt", local), "h\nt\ndate 2024-01-31 10:05:09\n");
  timespec early = {999999999, 999999999}, late = {1000000000, 0};
  EXPECT_LT(spoolFileName(early, 99999, 0), spoolFileName(late, 1, 0)) << "fixed width";
  EXPECT_NE(spoolFileName(late, 1, 0), spoolFileName(late, 1, 1));
  EXPECT_EQ(spoolPath("/spool/", "x") + spoolPath("/spool", "x"), "/spool/x/spool/x");
}

TEST(SpoolHandler, ProgramReportsUsageAndWriteFailures) {
  TempDir dir;
  std::string errors = dir.file("stderr"), missing = dir.file("missing");
  std::string handler = spoolHandlerBinary();
  EXPECT_EQ(runProgram({"sh", "-c", handler + " < /dev/null 2> " + errors}), 2);
  EXPECT_EQ(readFile(errors), "usage: kivo-spool-handler <spool directory>\n");
  EXPECT_EQ(runProgram({"sh", "-c", handler + " " + missing + " < /dev/null 2> " + errors}), 1);
  EXPECT_EQ(readFile(errors).rfind("kivo-spool-handler: can't write spool file " + missing, 0), 0u)
      << readFile(errors);
}

}  // namespace kivo
