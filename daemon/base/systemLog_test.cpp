#include "daemon/base/systemLog.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/standardOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

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

// --check, --replay and --unknown print their own output: the log lines go nowhere meanwhile.
TEST(SystemLog, DiscardedWhileTheHolderLivesThenBackOnDescriptorOne) {
  {
    DiscardedStandardOutput quiet;
    EXPECT_NE(standardOutputDescriptor(), STDOUT_FILENO);
  }
  EXPECT_EQ(standardOutputDescriptor(), STDOUT_FILENO);
}

}  // namespace kivo
