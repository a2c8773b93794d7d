#include "support/logFile.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/exceptions.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

TEST(LogFile, OpeningConstructorCreatesTheFileEmpty) {
  TempDir dir;
  logFile log(dir.file("trap.log"));
  EXPECT_TRUE(fileExists(dir.file("trap.log")));
  EXPECT_EQ(log.size(), 0);
}

TEST(LogFile, MissingDirectoryRaisesWithThePath) {
  TempDir dir;
  std::string path = dir.file("gone/trap.log");
  try {
    logFile log(path);
    FAIL() << "the opening constructor must raise";
  } catch (const FileException& e) {
    EXPECT_EQ(std::string(e.what()), "error open file: " + path);
  }
  logFile lazy(path.c_str());
  EXPECT_THROW(lazy.write("line"), FileException) << "first write shows the bad path";
  EXPECT_THROW(lazy.size(), FileException);
}

TEST(LogFile, WritesAppendWholeLinesAndSurviveDeletion) {
  TempDir dir;
  std::string path = dir.file("trap.log");
  logFile log(path);
  log.write("first");
  log.write("");
  EXPECT_EQ(readFile(path), "first\n\n");
  EXPECT_EQ(log.size(), 7);
  ::remove(path.c_str());
  log.write("second");
  EXPECT_EQ(readFile(path), "second\n") << "the next write creates the file again";
}

TEST(LogFile, TimestampedLineHasAsctimeForm) {
  TempDir dir;
  logFile log(dir.file("trap.log"));
  log.write("", "");
  std::string line = readFile(dir.file("trap.log"));
  EXPECT_TRUE(std::regex_match(line, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d "
                                                "\\d\\d:\\d\\d:\\d\\d \\d{4}##\n")))
      << line;
}

TEST(LogFile, PathParts) {
  struct Case {
    const char* path;
    const char* fileName;
    const char* directory;
  } cases[] = {
      {"/var/log/kivo/trap.log", "/trap.log", "/var/log/kivo"},
      {"logs/", "/", "logs"},
      {"trap.log", "trap.log", "trap.log"},
      {"/trap.log", "/trap.log", ""},
  };
  for (const Case& c : cases) {
    logFile log(c.path);
    EXPECT_EQ(log.getFileName(), c.fileName) << c.path;
    EXPECT_EQ(log.getDirectory(), c.directory) << c.path;
  }
}

}  // namespace

}  // namespace kivo
