#include "support/logFile.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/exceptions.h"
#include "testing/tempDir.h"

namespace kivo {

TEST(LogFile, WritesAppendWholeLinesSurviveDeletionAndAMissingDirectoryRaises) {
  TempDir dir;
  std::string path = dir.file("trap.log");
  logFile log(path);
  EXPECT_TRUE(fileExists(path)) << "the opening constructor creates it";
  for (const char* line : {"first", ""}) log.write(line);
  EXPECT_EQ(readFile(path), "first\n\n");
  EXPECT_EQ(log.size(), 7);
  ::remove(path.c_str());
  log.write("", "");
  EXPECT_TRUE(std::regex_match(readFile(path), std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d "
                                                          "\\d\\d:\\d\\d:\\d\\d \\d{4}##\n")))
      << "the next write creates the file again, a line in asctime form: " << readFile(path);
  path = dir.file("gone/trap.log");
  EXPECT_EQ(failureOf<FileException>([&] { logFile opened(path); }), "error open file: " + path);
  logFile lazy(path.c_str());
  EXPECT_THROW(lazy.write("line"), FileException) << "first write shows the bad path";
  EXPECT_THROW(lazy.size(), FileException);
}

TEST(LogFile, PathParts) {
  const char* const cases[][3] = {
      {"/var/log/kivo/trap.log", "/trap.log", "/var/log/kivo"},
      {"logs/", "/", "logs"},
      {"trap.log", "trap.log", "trap.log"},
      {"/trap.log", "/trap.log", ""},
  };
  for (const auto& c : cases) {
    logFile log(c[0]);
    EXPECT_EQ(log.getFileName() + "|" + log.getDirectory(), c[1] + std::string("|") + c[2]);
  }
}

}  // namespace kivo
