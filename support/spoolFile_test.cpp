#include "support/spoolFile.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/exceptions.h"
#include "testing/tempDir.h"

namespace kivo {

// Both ways of publishing, the second for file systems without unnamed
// files.
TEST(SpoolFile, PublishedFileIsCompleteAloneReadableAndNeverReplaced) {
  const std::pair<const char*, bool (*)(const std::string&, const std::string&)> publishers[] = {
      {"unnamed file", publishFile}, {"temporary file", publishFileThroughTemporary}};
  for (const auto& [how, publish] : publishers) {
    SCOPED_TRACE(how);
    TempDir dir;
    const std::string spool = dir.file("spool");
    ASSERT_EQ(::mkdir(spool.c_str(), 0755), 0);
    std::string content(100000, 'x');
    ASSERT_TRUE(publish(spool + "/trap-1", content));
    EXPECT_FALSE(publish(spool + "/trap-1", "new"));
    EXPECT_EQ(readFile(spool + "/trap-1"), content);
    struct stat status;
    ASSERT_EQ(::stat((spool + "/trap-1").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_EQ(listDirectory(spool), std::vector<std::string>{"trap-1"}) << "no temporary file";
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"spool"}) << "none beside";
    std::string path = spool + "/gone/deeper/trap-1";
    EXPECT_EQ(failureOf<FileException>([&] { publish(path, "x"); }),
              "can't write spool file " + path + ": No such file or directory");
  }
}

}  // namespace kivo
