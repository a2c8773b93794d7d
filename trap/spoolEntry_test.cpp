#include "trap/spoolEntry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/tempDir.h"

namespace kivo {

TEST(SpoolEntry, OnlyRegularFilesWithinTheLimitAreReadAndNothingGoneOrReplacedSinceTheListing) {
  TempDir dir;
  writeFile(dir.file("at-limit"), std::string(16, 'x'));
  writeFile(dir.file("above-limit"), std::string(17, 'x'));
  for (auto [name, mode] : {std::pair("fifo", S_IFIFO), {"socket", S_IFSOCK}, {"directory", 0}}) {
    std::string path = dir.file(name);
    ASSERT_EQ(mode ? ::mknod(path.c_str(), mode | 0644, 0) : ::mkdir(path.c_str(), 0755), 0);
  }
  ASSERT_EQ(::symlink(dir.file("at-limit").c_str(), dir.file("link").c_str()), 0);
  const std::pair<std::string, std::string> cases[] = {
      // the name, the reason to reject
      {"at-limit", ""},
      {"above-limit", "is larger than spool_file_max (16 bytes)"},
      {"fifo", "is a FIFO"},
      {"link", "is a symbolic link"},
      {"directory", "is a directory"},
      {"socket", "is a socket"},
      {"/dev/null", "is a device"},
      {"/proc/self/mem", "Input/output error"},  // a regular file that opens but cannot be read
  };
  for (const auto& [name, reason] : cases) {
    std::string path = name[0] == '/' ? name : dir.file(name);
    struct stat status;
    ASSERT_EQ(statSpoolEntry(path, &status), 0) << name;
    SpoolEntry entry = readSpoolEntry(path, status, 16);
    EXPECT_EQ(entry.status, reason.empty() ? SpoolEntry::kReadable : SpoolEntry::kRejected);
    EXPECT_EQ(entry.text + entry.reason, reason.empty() ? std::string(16, 'x') : reason) << name;
    EXPECT_EQ(entry.inode, status.st_ino) << name;
  }
  const std::string file = dir.file("file");
  writeFile(file, "text");
  struct stat listed;
  ASSERT_EQ(statSpoolEntry(file, &listed), 0);
  ASSERT_EQ(::unlink(file.c_str()), 0);
  EXPECT_EQ(readSpoolEntry(file, listed, 100).status, SpoolEntry::kVanished);
  EXPECT_EQ(statSpoolEntry(file, &listed), ENOENT);
  // A symbolic link put in the place of a listed file is not followed.
  writeFile(dir.file("target"), "secret");
  writeFile(file, "text");
  ASSERT_EQ(statSpoolEntry(file, &listed), 0);
  ASSERT_EQ(::unlink(file.c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("target").c_str(), file.c_str()), 0);
  SpoolEntry entry = readSpoolEntry(file, listed, 100);
  EXPECT_EQ(entry.status, SpoolEntry::kRejected);
  EXPECT_EQ(entry.reason + entry.text, "is a symbolic link");
}

}  // namespace kivo
