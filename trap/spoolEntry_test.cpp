#include "trap/spoolEntry.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/tempDir.h"

namespace kivo {

TEST(SpoolEntry, OnlyRegularFilesWithinTheLimitAreRead) {
  TempDir dir;
  writeFile(dir.file("secret"), "secret\n");
  writeFile(dir.file("at-limit"), std::string(16, 'x'));
  writeFile(dir.file("above-limit"), std::string(17, 'x'));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(dir.file("secret").c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::mkdir(dir.file("directory").c_str(), 0755), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  dir.file("socket").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::pair<std::string, std::string> cases[] = {
      // the name, the reason to reject
      {"at-limit", ""},
      {"above-limit", "is larger than spool_file_max (16 bytes)"},
      {"fifo", "is a FIFO"},
      {"link", "is a symbolic link"},
      {"directory", "is a directory"},
      {"socket", "is a socket"},
      {"/dev/null", "is a device"},
  };
  for (const auto& c : cases) {
    std::string path = c.first[0] == '/' ? c.first : dir.file(c.first);
    struct stat status;
    ASSERT_EQ(statSpoolEntry(path, &status), 0) << c.first;
    SpoolEntry entry = readSpoolEntry(path, status, 16);
    EXPECT_EQ(entry.status, c.second.empty() ? SpoolEntry::kReadable : SpoolEntry::kRejected);
    EXPECT_EQ(entry.text, c.second.empty() ? std::string(16, 'x') : "") << c.first;
    EXPECT_EQ(entry.reason, c.second) << c.first;
    EXPECT_EQ(entry.inode, status.st_ino) << c.first;
  }
  ::close(sock);
}

TEST(SpoolEntry, EntryGoneOrReplacedSinceTheListing) {
  TempDir dir;
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
