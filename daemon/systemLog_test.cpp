// The system log file: the previous run's file kept at open, and reopening
// at the same path after a move, a rotation by copy, or a vanished
// directory. Real files; standard output is sent back to descriptor 1 when
// each SystemLog goes.
#include "daemon/systemLog.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/exceptions.h"
#include "support/standardOutput.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

class SystemLogTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.file("kivotrapd.log");
};

TEST_F(SystemLogTest, OpenKeepsThePreviousRunAndStartsEmpty) {
  writeFile(path, "line of the run before\n");
  SystemLog log;
  log.open(path);
  EXPECT_EQ(log.previousPath(), path + ".previous");
  EXPECT_EQ(readFile(path + ".previous"), "line of the run before\n");
  EXPECT_EQ(readFile(path), "");
  EXPECT_EQ(log.keepPreviousError(), 0);
  writeStandardOutputLine("first");
  EXPECT_EQ(readFile(path), "first\n") << "standard output goes into the log";
}

TEST_F(SystemLogTest, FirstRunLeavesNoPreviousFile) {
  SystemLog log;
  log.open(path);
  EXPECT_EQ(log.keepPreviousError(), 0);
  EXPECT_FALSE(fileExists(path + ".previous"));
}

TEST_F(SystemLogTest, PreviousThatCannotBeReplacedIsReportedAndTheLogEmptied) {
  // A directory in the way of the previous file: rename refuses it.
  ASSERT_EQ(::mkdir((path + ".previous").c_str(), 0755), 0);
  writeFile(path + ".previous/x", "x");
  writeFile(path, "old\n");
  SystemLog log;
  log.open(path);
  EXPECT_NE(log.keepPreviousError(), 0);
  EXPECT_EQ(readFile(path), "");
}

TEST_F(SystemLogTest, UnopenablePathThrowsWithThePath) {
  std::string missing = dir.file("no/such.log");
  SystemLog log;
  try {
    log.open(missing);
    FAIL() << "open must throw";
  } catch (const FileException& e) {
    EXPECT_EQ(std::string(e.what()), "ERROR can't open system file " + missing);
  }
}

TEST_F(SystemLogTest, ReopenAfterAMoveWritesANewFileUnderTheSameDescriptor) {
  SystemLog log;
  log.open(path);
  int descriptor = standardOutputDescriptor();
  writeStandardOutputLine("before");
  ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
  EXPECT_EQ(log.reopen(), 0);
  writeStandardOutputLine("after");
  EXPECT_EQ(readFile(path + ".1"), "before\n");
  EXPECT_EQ(readFile(path), "after\n");
  EXPECT_EQ(standardOutputDescriptor(), descriptor)
      << "children started meanwhile keep a valid descriptor";
}

TEST_F(SystemLogTest, ReopenAppendsToTheFileAtThePath) {
  SystemLog log;
  log.open(path);
  writeStandardOutputLine("one");
  EXPECT_EQ(log.reopen(), 0);
  writeStandardOutputLine("two");
  EXPECT_EQ(readFile(path), "one\ntwo\n");
}

TEST_F(SystemLogTest, WritesAfterATruncationByCopyLandAtTheStart) {
  // A rotation that copies the file and empties it in place.
  SystemLog log;
  log.open(path);
  writeStandardOutputLine("rotated away");
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);
  writeStandardOutputLine("kept");
  EXPECT_EQ(readFile(path), "kept\n") << "appending leaves no hole of zero bytes";
}

TEST_F(SystemLogTest, FailedReopenKeepsTheOldFile) {
  std::string sub = dir.file("sub");
  ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
  std::string inner = sub + "/kivotrapd.log";
  SystemLog log;
  log.open(inner);
  ASSERT_EQ(::rename(inner.c_str(), dir.file("moved.log").c_str()), 0);
  ASSERT_EQ(::rmdir(sub.c_str()), 0);
  EXPECT_EQ(log.reopen(), ENOENT);
  writeStandardOutputLine("still written");
  EXPECT_EQ(readFile(dir.file("moved.log")), "still written\n");
}

}  // namespace

}  // namespace kivo
